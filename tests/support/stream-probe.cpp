#include "stream-probe.hpp"

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

#include "child-process.hpp"

namespace bltest {

::testing::AssertionResult carries_h264_and_aac(const std::string &url, int width, int height,
						const std::string &avg_frame_rate)
{
	// ffprobe's own network time-out (15 s) below the process's, so that a silent server shows up
	// as ffprobe's error text rather than as a killed process.
	const CommandResult run =
		run_command({"ffprobe", "-v", "error", "-rw_timeout", "15000000", "-show_entries",
			     "stream=codec_type,codec_name,width,height,avg_frame_rate,sample_rate,channels", "-of",
			     "compact=p=0:nk=0", url},
			    std::chrono::seconds(20));
	std::vector<std::string> seen;
	std::istringstream lines(run.output);
	for (std::string line; run.exit_code == 0 && std::getline(lines, line);) {
		std::map<std::string, std::string> f;
		std::istringstream fields(line);
		for (std::string field; std::getline(fields, field, '|');)
			if (const size_t eq = field.find('='); eq != std::string::npos)
				f[field.substr(0, eq)] = field.substr(eq + 1);
		seen.push_back(f["codec_type"] == "video" ? "video " + f["codec_name"] + " " + f["width"] + "x" +
								    f["height"] + " @ " + f["avg_frame_rate"]
							  : f["codec_type"] + " " + f["codec_name"] + " " +
								    f["sample_rate"] + " Hz " + f["channels"] + " ch");
	}
	std::sort(seen.begin(), seen.end());
	const std::vector<std::string> want = {"audio aac 48000 Hz 2 ch", "video h264 " + std::to_string(width) + "x" +
										  std::to_string(height) + " @ " +
										  avg_frame_rate};
	if (seen == want)
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure()
	       << "expected " << want[0] << ", " << want[1] << (run.timed_out ? "; ffprobe timed out" : "")
	       << "; ffprobe said: " << run.output;
}

} // namespace bltest
