#include "stream-probe.hpp"

#include <map>
#include <sstream>

#include "child-process.hpp"

namespace bltest {

const ProbedStream *ProbeResult::first(const std::string &codec_type) const
{
	for (const ProbedStream &s : streams)
		if (s.codec_type == codec_type)
			return &s;
	return nullptr;
}

std::string ProbeResult::describe() const
{
	std::ostringstream out;
	if (!ok)
		out << "probe failed: " << error;
	for (const ProbedStream &s : streams)
		out << "[#" << s.index << " " << s.codec_type << " " << s.codec_name << " " << s.width << "x"
		    << s.height << " " << s.avg_frame_rate << " " << s.sample_rate << "Hz " << s.channels << "ch] ";
	return out.str();
}

::testing::AssertionResult carries_h264_and_aac(const ProbeResult &probe, int width, int height,
						const std::string &avg_frame_rate)
{
	const ProbedStream *video = probe.first("video");
	const ProbedStream *audio = probe.first("audio");
	std::ostringstream wrong;
	if (!video || video->codec_name != "h264" || video->width != width || video->height != height ||
	    video->avg_frame_rate != avg_frame_rate)
		wrong << " video is not h264 " << width << "x" << height << " @ " << avg_frame_rate << ";";
	if (!audio || audio->codec_name != "aac" || audio->sample_rate != 48000 || audio->channels != 2)
		wrong << " audio is not aac 48000 Hz stereo;";
	if (wrong.str().empty() && probe.streams.size() == 2)
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure() << wrong.str() << " ffprobe saw: " << probe.describe();
}

ProbeResult probe_stream(const std::string &url, std::chrono::milliseconds timeout)
{
	// ffprobe's own network time-out below the process's, so that a silent server shows up as
	// ffprobe's error text rather than as a killed process.
	const auto rw_timeout = std::chrono::duration_cast<std::chrono::microseconds>(timeout) * 3 / 4;
	const CommandResult run = run_command(
		{"ffprobe", "-v", "error", "-rw_timeout", std::to_string(rw_timeout.count()), "-show_entries",
		 "stream=index,codec_type,codec_name,width,height,avg_frame_rate,sample_rate,channels", "-of",
		 "compact=p=0:nk=0", url},
		timeout);
	ProbeResult result;
	std::istringstream lines(run.output);
	for (std::string line; run.exit_code == 0 && std::getline(lines, line);) {
		std::map<std::string, std::string> f;
		std::istringstream fields(line);
		for (std::string field; std::getline(fields, field, '|');)
			if (const size_t eq = field.find('='); eq != std::string::npos)
				f[field.substr(0, eq)] = field.substr(eq + 1);
		if (f.count("index"))
			result.streams.push_back({std::stoi(f["index"]), f["codec_type"], f["codec_name"],
						  std::atoi(f["width"].c_str()), std::atoi(f["height"].c_str()),
						  f["avg_frame_rate"], std::atoi(f["sample_rate"].c_str()),
						  std::atoi(f["channels"].c_str())});
	}
	result.ok = !result.streams.empty();
	if (!result.ok)
		result.error = (run.timed_out ? "timed out; " : "") + run.output;
	return result;
}

} // namespace bltest
