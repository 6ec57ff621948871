// What the mux output costs the host's threads, measured with the host's real encoders and a
// real nginx on loopback:
//  1. per-packet cost of the packet path in steady streaming (the callback on the host's thread,
//     and the output's sender thread), against the ffmpeg command-line tool remuxing the same
//     packets to the same server (CPU time per packet, and the ratio);
//  2. how long one packet callback holds the calling host thread: steady streaming, the first
//     connect (the call that asks the sender for it, and the calls while the sender connects), and
//     reconnect attempts against a server that accepts and never answers (with the longest
//     pause of the host's audio thread meanwhile);
//  3. time from the server coming back to the stream being published again.
// Usage: build/bench/mux-bench [seconds of steady streaming, default 20]

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <obs.h>
#include <util/platform.h>

#include "child-process.hpp"
#include "host-fixture.hpp"
#include "mux-rig.hpp"
#include "mux/mux-output-data.hpp"
#include "mux/mux-output.hpp"
#include "rtmp-server.hpp"

using namespace std::chrono_literals;
using brasslight::MuxOutputData;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char *kBenchOutputId = "bl_bench_mux";

enum class Phase { Idle, StartsConnect, Connecting, Streaming, ReconnectAttempt, Reconnecting };

struct Sample {
	Phase phase;
	double wall_us;
	double cpu_us;
};

std::mutex samples_mutex; // the callback runs on the host's audio and video threads
std::vector<Sample> samples;

double thread_cpu_us()
{
	timespec ts {};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

Phase classify(MuxOutputData &record, const encoder_packet *packet)
{
	// Read under the record's lock, released before the measured call takes it.
	std::lock_guard<std::mutex> lock(record.mutex);
	const bool busy = record.connect_running || record.connect_requested;
	switch (record.phase) {
	case brasslight::RunPhase::Opening:
		return busy ? Phase::Connecting : Phase::StartsConnect;
	case brasslight::RunPhase::Reconnecting:
		return !busy && packet && packet->type == OBS_ENCODER_VIDEO && packet->keyframe &&
				       os_gettime_ns() >= record.next_attempt_ns
			       ? Phase::ReconnectAttempt
			       : Phase::Reconnecting;
	case brasslight::RunPhase::Streaming:
		return Phase::Streaming;
	default:
		return Phase::Idle;
	}
}

// The module's packet callback, timed.
void timed_packet(void *data, encoder_packet *packet)
{
	const Phase phase = classify(*static_cast<MuxOutputData *>(data), packet);
	const double cpu0 = thread_cpu_us();
	const auto wall0 = Clock::now();
	brasslight::mux_output_info().encoded_packet(data, packet);
	const auto wall1 = Clock::now();
	const double cpu1 = thread_cpu_us();
	std::lock_guard<std::mutex> lock(samples_mutex);
	samples.push_back({phase, std::chrono::duration<double, std::micro>(wall1 - wall0).count(), cpu1 - cpu0});
}

void register_bench_type()
{
	static obs_output_info info = [] {
		obs_output_info i = brasslight::mux_output_info();
		i.id = kBenchOutputId;
		i.encoded_packet = timed_packet;
		return i;
	}();
	obs_register_output_s(&info, sizeof(info));
}

std::vector<Sample> take_samples()
{
	std::lock_guard<std::mutex> lock(samples_mutex);
	std::vector<Sample> out;
	out.swap(samples);
	return out;
}

struct Stats {
	size_t n = 0;
	double median = 0, p99 = 0, max = 0, mean_cpu = 0;
};

Stats stats(const std::vector<Sample> &all, Phase phase)
{
	std::vector<double> wall;
	double cpu = 0;
	for (const Sample &s : all)
		if (s.phase == phase) {
			wall.push_back(s.wall_us);
			cpu += s.cpu_us;
		}
	Stats st;
	st.n = wall.size();
	if (wall.empty())
		return st;
	std::sort(wall.begin(), wall.end());
	st.median = wall[wall.size() / 2];
	st.p99 = wall[std::min(wall.size() - 1, size_t(double(wall.size()) * 0.99))];
	st.max = wall.back();
	st.mean_cpu = cpu / double(st.n);
	return st;
}

void print_row(const char *what, const Stats &s)
{
	printf("| %s | %zu | %.0f | %.0f | %.0f | %.1f |\n", what, s.n, s.median, s.p99, s.max, s.mean_cpu);
}

// Host audio ticks, to see how long the audio thread was held.
struct AudioTicks {
	std::mutex mutex;
	std::vector<Clock::time_point> times;
	static void callback(void *param, size_t, audio_data *)
	{
		auto *self = static_cast<AudioTicks *>(param);
		std::lock_guard<std::mutex> lock(self->mutex);
		self->times.push_back(Clock::now());
	}
	double longest_gap_ms()
	{
		std::lock_guard<std::mutex> lock(mutex);
		Clock::duration gap {};
		for (size_t i = 1; i < times.size(); ++i)
			gap = std::max(gap, times[i] - times[i - 1]);
		return std::chrono::duration<double, std::milli>(gap).count();
	}
};

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
	const auto deadline = Clock::now() + timeout;
	while (!done()) {
		if (Clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(5ms);
	}
	return true;
}

double seconds_field(const std::string &text, const char *name)
{
	std::smatch m;
	if (std::regex_search(text, m, std::regex(std::string(name) + "=([0-9.]+)s")))
		return std::stod(m[1]);
	return -1;
}

// Unwinds to main, so that the fixtures' destructors end nginx and the host shuts down.
[[noreturn]] void fail(const std::string &why)
{
	throw std::runtime_error(why);
}

void run(int steady_seconds)
{
	bltest::RtmpServer server;
	if (!server.start())
		fail("nginx did not start");

	{
		bltest::RigOptions options;
		options.output_type = kBenchOutputId;
		bltest::MuxRig rig(options);
		rig.set_target(server.rtmp_url(), "bench");

		// First connects: start and stop a few times.
		constexpr int kConnects = 8;
		AudioTicks connect_ticks;
		obs_add_raw_audio_callback(0, nullptr, &AudioTicks::callback, &connect_ticks);
		for (int i = 0; i < kConnects; ++i) {
			if (!rig.start() || !server.wait_publishing("bench", 15s))
				fail("the bench stream did not publish");
			rig.stop();
			server.wait_not_publishing("bench", 5s);
		}
		obs_remove_raw_audio_callback(0, &AudioTicks::callback, &connect_ticks);
		std::vector<Sample> connects = take_samples();

		// Steady streaming, recorded by ffmpeg from the server at the same time.
		bltest::TempDir dir("bl-bench");
		const std::string capture = dir.file("capture.flv");
		if (!rig.start() || !server.wait_publishing("bench", 15s))
			fail("the bench stream did not publish");
		std::this_thread::sleep_for(1s);
		take_samples();
		bltest::CommandResult recorded = bltest::run_command(
			{"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-i", server.play_url("bench"),
			 "-c", "copy", "-t", std::to_string(steady_seconds), "-y", capture},
			std::chrono::seconds(steady_seconds + 20));
		std::vector<Sample> steady = take_samples();
		if (recorded.exit_code != 0)
			fail("recording failed: " + recorded.output);
		// The sender thread's share: the output logs its CPU per packet when it stops.
		const size_t steady_mark = bltest::LogCapture::get().mark();
		rig.stop();
		std::vector<std::string> cpu_lines;
		for (const std::string &line : bltest::LogCapture::get().since(steady_mark))
			if (line.rfind("[brasslight-obs-vertical] CPU per packet", 0) == 0)
				cpu_lines.push_back(line);
		const std::string sender_cpu = cpu_lines.empty() ? "(no line)" : cpu_lines.back();
		if (!rig.start() || !server.wait_publishing("bench", 15s))
			fail("the bench stream did not publish again");

		// The ffmpeg command-line tool sends the same packets to the same server.
		bltest::CommandResult counted =
			bltest::run_command({"ffprobe", "-v", "error", "-count_packets", "-show_entries",
					     "stream=nb_read_packets", "-of", "csv=p=0", capture},
					    30s);
		long long packets = 0;
		for (size_t pos = 0; pos < counted.output.size();) {
			packets += atoll(counted.output.c_str() + pos);
			pos = counted.output.find('\n', pos);
			pos = pos == std::string::npos ? counted.output.size() : pos + 1;
		}
		bltest::CommandResult remux =
			bltest::run_command({"ffmpeg", "-hide_banner", "-nostdin", "-benchmark", "-i", capture, "-c",
					     "copy", "-f", "flv", server.play_url("remux")},
					    60s);
		// The same, paced in real time and flushing every packet as the output does.
		bltest::CommandResult paced = bltest::run_command({"ffmpeg", "-hide_banner", "-nostdin", "-benchmark",
								   "-re", "-i", capture, "-c", "copy", "-flush_packets",
								   "1", "-f", "flv", server.play_url("paced")},
								  std::chrono::seconds(steady_seconds + 30));
		bltest::CommandResult baseline =
			bltest::run_command({"ffmpeg", "-hide_banner", "-nostdin", "-benchmark", "-i", capture, "-c",
					     "copy", "-f", "null", "-"},
					    60s);
		const double remux_cpu = seconds_field(remux.output, "utime") + seconds_field(remux.output, "stime");
		const double paced_cpu = seconds_field(paced.output, "utime") + seconds_field(paced.output, "stime");
		const double base_cpu =
			seconds_field(baseline.output, "utime") + seconds_field(baseline.output, "stime");

		// Reconnect attempts against a server that accepts and never answers, on the same port.
		AudioTicks ticks;
		const uint16_t port = server.rtmp_port();
		const size_t from = bltest::LogCapture::get().mark();
		server.kill();
		std::vector<Sample> reconnects;
		{
			bltest::SilentServer silent(port);
			if (!silent.ok())
				fail("cannot listen on the killed server's port");
			take_samples();
			obs_add_raw_audio_callback(0, nullptr, &AudioTicks::callback, &ticks);
			wait_until([&] { return bltest::LogCapture::get().count("reconnect failed", from) >= 4; }, 60s);
			obs_remove_raw_audio_callback(0, &AudioTicks::callback, &ticks);
			reconnects = take_samples();
			rig.stop();
		}
		const double audio_gap = ticks.longest_gap_ms();

		// Server back: from its restart to the stream being published again.
		std::vector<double> comeback_ms;
		for (int i = 0; i < 5; ++i) {
			if ((!server.running() && !server.restart()) || !rig.start() ||
			    !server.wait_publishing("bench", 15s))
				fail("no stream before the comeback run");
			const size_t mark = bltest::LogCapture::get().mark();
			server.kill();
			// Back after the first failed attempt: the next wait is 2 s, then the next keyframe.
			wait_until([&] { return bltest::LogCapture::get().count("reconnect failed", mark) >= 1; }, 20s);
			const auto restarted = Clock::now();
			if (!server.restart())
				fail("nginx did not restart");
			if (!server.wait_publishing("bench", 20s))
				fail("the stream did not come back");
			comeback_ms.push_back(
				std::chrono::duration<double, std::milli>(Clock::now() - restarted).count());
			rig.stop();
		}
		take_samples();

		const Stats steady_stats = stats(steady, Phase::Streaming);
		printf("\nmux-bench: 360x640 obs_x264 veryfast 400 kbit/s keyint 1 s + ffmpeg_aac 160 kbit/s, "
		       "nginx-rtmp on loopback, %d s steady\n\n",
		       steady_seconds);
		printf("| callback | calls | median us | p99 us | max us | mean CPU us |\n|---|---|---|---|---|---|\n");
		print_row("steady streaming", steady_stats);
		print_row("first connect: the call that starts it", stats(connects, Phase::StartsConnect));
		print_row("first connect: dropped while it runs", stats(connects, Phase::Connecting));
		print_row("reconnect attempt, never-answering server: the call that starts it",
			  stats(reconnects, Phase::ReconnectAttempt));
		print_row("dropped while reconnecting (waiting or attempt running)",
			  stats(reconnects, Phase::Reconnecting));
		printf("\nlongest pause of the host's audio thread during the first connects: %.0f ms, during the "
		       "reconnect attempts: %.0f ms\n",
		       connect_ticks.longest_gap_ms(), audio_gap);

		// The packet path's CPU: the callback on the host's thread plus the sender's per packet.
		double sender_us = 0;
		const size_t at = sender_cpu.find("sender ");
		if (at != std::string::npos)
			sender_us = atof(sender_cpu.c_str() + at + 7);
		const double ours_us = steady_stats.mean_cpu + sender_us;
		auto per_packet = [&](double cpu_s) {
			return packets > 0 ? cpu_s * 1e6 / double(packets) : 0.0;
		};
		printf("\nsteady streaming, as the output logged it at stop: %s\n", sender_cpu.c_str());
		printf("\nCPU per packet, %lld packets recorded from the stream and sent again by ffmpeg:\n\n",
		       packets);
		printf("| sender | CPU s | us per packet | packet path / it |\n|---|---|---|---|\n");
		printf("| packet path (callback + sender thread, thread CPU) | %.3f | %.1f | 1.00 |\n",
		       ours_us * double(steady_stats.n) / 1e6, ours_us);
		const struct {
			const char *name;
			double cpu;
		} cli[] = {
			{"ffmpeg -c copy -f flv, as fast as it can (whole process)", remux_cpu},
			{"ffmpeg -re -flush_packets 1 -c copy -f flv (whole process)", paced_cpu},
			{"ffmpeg -c copy -f null: demux and start-up only", base_cpu},
		};
		for (const auto &c : cli)
			printf("| %s | %.3f | %.1f | %.2f |\n", c.name, c.cpu, per_packet(c.cpu),
			       per_packet(c.cpu) > 0 ? ours_us / per_packet(c.cpu) : 0.0);
		printf("\nserver back -> published again (ms):");
		for (double ms : comeback_ms)
			printf(" %.0f", ms);
		printf("\n");
	}
	server.stop();
}

} // namespace

int main(int argc, char **argv)
{
	const int steady_seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 20;
	// The output keeps hold times and its sender's CPU time, and logs them at each stop.
	setenv("BL_MEASURE_HOLD", "1", 1);
	bltest::Host::get().start();
	brasslight::register_mux_output_type();
	register_bench_type();
	int status = 0;
	try {
		run(steady_seconds);
	} catch (const std::exception &e) {
		fprintf(stderr, "mux-bench: %s\n", e.what());
		status = 1;
	}
	bltest::Host::get().shutdown();
	return status;
}
