#include "stream-probe.hpp"

#include <cstdlib>
#include <sstream>

#include "child-process.hpp"

namespace bltest {

namespace {

// ffprobe's own network time-out (microseconds) below the process time-out, so that a silent
// server shows up as ffprobe's error text rather than as a killed process.
std::string rw_timeout_us(std::chrono::milliseconds timeout)
{
	return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count() * 3 / 4);
}

} // namespace

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
		    << s.height << " avg=" << s.avg_frame_rate << " r=" << s.r_frame_rate << " " << s.sample_rate
		    << "Hz " << s.channels << "ch] ";
	return out.str();
}

::testing::AssertionResult carries_h264_and_aac(const ProbeResult &probe, int width, int height,
						const std::string &avg_frame_rate)
{
	if (!probe.ok)
		return ::testing::AssertionFailure() << "ffprobe failed: " << probe.error;
	const ProbedStream *video = probe.first("video");
	const ProbedStream *audio = probe.first("audio");
	std::ostringstream wrong;
	if (!video)
		wrong << " no video;";
	else if (video->codec_name != "h264" || video->width != width || video->height != height ||
		 video->avg_frame_rate != avg_frame_rate)
		wrong << " video is not h264 " << width << "x" << height << " @ " << avg_frame_rate << ";";
	if (!audio)
		wrong << " no audio;";
	else if (audio->codec_name != "aac" || audio->sample_rate != 48000 || audio->channels != 2)
		wrong << " audio is not aac 48000 Hz stereo;";
	if (wrong.str().empty())
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure() << wrong.str() << " ffprobe saw: " << probe.describe();
}

ProbeResult probe_stream(const std::string &url, std::chrono::milliseconds timeout)
{
	std::vector<std::string> argv = {"ffprobe", "-v", "error"};
	if (url.rfind("rtmp", 0) == 0) {
		argv.push_back("-rw_timeout");
		argv.push_back(rw_timeout_us(timeout));
	}
	for (const char *a : {"-show_entries",
			      "stream=index,codec_type,codec_name,width,height,avg_frame_rate,r_frame_rate,sample_"
			      "rate,channels",
			      "-of", "compact=p=0:nk=0"})
		argv.push_back(a);
	argv.push_back(url);

	ProbeResult result;
	CommandResult run = run_command(argv, timeout);
	if (run.timed_out || run.exit_code != 0) {
		result.error = (run.timed_out ? std::string("timed out; ") : std::string()) + run.output;
		return result;
	}
	std::istringstream lines(run.output);
	std::string line;
	while (std::getline(lines, line)) {
		if (line.find("index=") != 0)
			continue;
		ProbedStream s;
		std::istringstream fields(line);
		std::string field;
		while (std::getline(fields, field, '|')) {
			size_t eq = field.find('=');
			if (eq == std::string::npos)
				continue;
			const std::string key = field.substr(0, eq);
			const std::string value = field.substr(eq + 1);
			if (key == "index")
				s.index = std::atoi(value.c_str());
			else if (key == "codec_type")
				s.codec_type = value;
			else if (key == "codec_name")
				s.codec_name = value;
			else if (key == "width")
				s.width = std::atoi(value.c_str());
			else if (key == "height")
				s.height = std::atoi(value.c_str());
			else if (key == "avg_frame_rate")
				s.avg_frame_rate = value;
			else if (key == "r_frame_rate")
				s.r_frame_rate = value;
			else if (key == "sample_rate")
				s.sample_rate = std::atoi(value.c_str());
			else if (key == "channels")
				s.channels = std::atoi(value.c_str());
		}
		result.streams.push_back(s);
	}
	result.ok = !result.streams.empty();
	if (!result.ok)
		result.error = "no streams in: " + run.output;
	return result;
}

bool grab_frame_png(const std::string &url, const std::string &png_path, std::chrono::milliseconds timeout,
		    std::string *error)
{
	std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
	if (url.rfind("rtmp", 0) == 0) {
		argv.push_back("-rw_timeout");
		argv.push_back(rw_timeout_us(timeout));
	}
	for (const std::string &a : {std::string("-i"), url, std::string("-frames:v"), std::string("1"), png_path})
		argv.push_back(a);
	CommandResult run = run_command(argv, timeout);
	if (run.exit_code == 0)
		return true;
	if (error)
		*error = (run.timed_out ? std::string("timed out; ") : std::string()) + run.output;
	return false;
}

} // namespace bltest
