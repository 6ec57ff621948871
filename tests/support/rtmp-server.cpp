#include "rtmp-server.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bltest {

namespace {

constexpr const char *kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
constexpr const char *kStreamModule = "/usr/lib/nginx/modules/ngx_stream_module.so";
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr auto kStatPoll = std::chrono::milliseconds(50);
// Bounds one status-page request: the page is served from loopback in microseconds.
constexpr int kHttpTimeoutMs = 2000;

class Fd {
public:
	explicit Fd(int fd = -1) : fd_(fd) {}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	~Fd()
	{
		if (fd_ >= 0)
			close(fd_);
	}
	int get() const { return fd_; }
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}

private:
	int fd_;
};

sockaddr_in loopback(uint16_t port)
{
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return addr;
}

// Connects to 127.0.0.1:port, waiting at most timeout_ms; -1 on failure.
int connect_loopback(uint16_t port, int timeout_ms)
{
	Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	if (fd.get() < 0)
		return -1;
	sockaddr_in addr = loopback(port);
	if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
		if (errno != EINPROGRESS)
			return -1;
		pollfd p = {fd.get(), POLLOUT, 0};
		if (poll(&p, 1, timeout_ms) <= 0)
			return -1;
		int err = 0;
		socklen_t len = sizeof(err);
		getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
		if (err != 0)
			return -1;
	}
	return fd.release();
}

std::string http_get(uint16_t port, const std::string &path)
{
	Fd fd(connect_loopback(port, kHttpTimeoutMs));
	if (fd.get() < 0)
		return {};
	const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
	if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
		return {};
	std::string response;
	char buffer[8192];
	for (;;) {
		pollfd p = {fd.get(), POLLIN, 0};
		if (poll(&p, 1, kHttpTimeoutMs) <= 0)
			return {};
		ssize_t n = recv(fd.get(), buffer, sizeof(buffer), 0);
		if (n < 0 && (errno == EAGAIN || errno == EINTR))
			continue;
		if (n <= 0)
			break;
		response.append(buffer, static_cast<size_t>(n));
	}
	size_t body = response.find("\r\n\r\n");
	return body == std::string::npos ? std::string() : response.substr(body + 4);
}

std::string element(const std::string &xml, const std::string &name, size_t from = 0, size_t to = std::string::npos)
{
	const std::string open = "<" + name + ">";
	const std::string close = "</" + name + ">";
	size_t start = xml.find(open, from);
	if (start == std::string::npos || (to != std::string::npos && start >= to))
		return {};
	start += open.size();
	size_t end = xml.find(close, start);
	if (end == std::string::npos)
		return {};
	return xml.substr(start, end - start);
}

std::string describe(const StreamStat &s)
{
	if (!s.present)
		return "stream absent from the status page";
	return std::string(s.publishing ? "publishing" : "present, not publishing") +
	       ", bytes_in=" + std::to_string(s.bytes_in) + ", " + std::to_string(s.width) + "x" +
	       std::to_string(s.height) + " " + s.video_codec + "/" + s.audio_codec;
}

} // namespace

uint16_t free_loopback_port()
{
	Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in addr = loopback(0);
	if (fd.get() < 0 || bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0)
		return 0;
	socklen_t len = sizeof(addr);
	getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len);
	return ntohs(addr.sin_port);
}

bool port_accepts(uint16_t port)
{
	Fd fd(connect_loopback(port, 500));
	return fd.get() >= 0;
}

RtmpServer::RtmpServer() : RtmpServer(Options {}) {}

RtmpServer::RtmpServer(Options options) : options_(options) {}

RtmpServer::~RtmpServer()
{
	process_.kill_and_wait();
}

::testing::AssertionResult RtmpServer::prepare()
{
	dir_ = std::make_unique<TempDir>("bl-nginx");
	for (const char *sub : {"logs", "temp"}) {
		std::string path = dir_->file(sub);
		if (mkdir(path.c_str(), 0755) != 0)
			return ::testing::AssertionFailure() << "mkdir " << path << ": " << std::strerror(errno);
	}
	// Each port is released before nginx binds it, so the kernel may hand one out twice.
	for (int tries = 0; tries < 20; ++tries) {
		rtmp_port_ = free_loopback_port();
		http_port_ = free_loopback_port();
		tls_port_ = options_.tls ? free_loopback_port() : 0;
		if (rtmp_port_ != http_port_ && rtmp_port_ != tls_port_ && http_port_ != tls_port_)
			break;
	}
	if (rtmp_port_ == 0 || http_port_ == 0 || (options_.tls && tls_port_ == 0) || rtmp_port_ == http_port_)
		return ::testing::AssertionFailure() << "no free loopback ports";
	if (options_.tls) {
		::testing::AssertionResult certs = make_certificates();
		if (!certs)
			return certs;
	}
	write_config();
	prepared_ = true;
	return ::testing::AssertionSuccess();
}

::testing::AssertionResult RtmpServer::make_certificates()
{
	const std::string d = dir_->path() + "/";
	std::ofstream(d + "server-ext.cnf") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
					       "basicConstraints=CA:FALSE\n"
					       "extendedKeyUsage=serverAuth\n";
	const std::vector<std::vector<std::string>> steps = {
		{"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key", "-out",
		 d + "ca.pem", "-days", "2", "-subj", "/CN=BrassLight test CA", "-addext",
		 "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
		{"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "server.key", "-out",
		 d + "server.csr", "-subj", "/CN=localhost"},
		{"openssl", "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
		 "-CAcreateserial", "-out", d + "server.pem", "-days", "2", "-extfile", d + "server-ext.cnf"},
	};
	for (const auto &step : steps) {
		CommandResult r = run_command(step, std::chrono::seconds(30));
		if (r.exit_code != 0)
			return ::testing::AssertionFailure() << "openssl failed: " << r.output;
	}
	return ::testing::AssertionSuccess();
}

void RtmpServer::write_config()
{
	const std::string d = dir_->path();
	std::ofstream conf(dir_->file("nginx.conf"));
	conf << "load_module " << kRtmpModule << ";\n";
	if (options_.tls)
		conf << "load_module " << kStreamModule << ";\n";
	conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
	     << "pid " << d << "/nginx.pid;\n"
	     << "error_log " << d << "/logs/error.log info;\n"
	     << "events { worker_connections 128; }\n"
	     << "rtmp {\n  server {\n    listen 127.0.0.1:" << rtmp_port_ << ";\n"
	     << "    application live { live on; }\n  }\n}\n";
	if (options_.tls) {
		conf << "stream {\n  server {\n    listen 127.0.0.1:" << tls_port_ << " ssl;\n"
		     << "    ssl_certificate " << d << "/server.pem;\n"
		     << "    ssl_certificate_key " << d << "/server.key;\n"
		     << "    proxy_pass 127.0.0.1:" << rtmp_port_ << ";\n  }\n}\n";
	}
	conf << "http {\n  access_log off;\n"
	     << "  client_body_temp_path " << d << "/temp/body;\n"
	     << "  proxy_temp_path " << d << "/temp/proxy;\n"
	     << "  fastcgi_temp_path " << d << "/temp/fastcgi;\n"
	     << "  uwsgi_temp_path " << d << "/temp/uwsgi;\n"
	     << "  scgi_temp_path " << d << "/temp/scgi;\n"
	     << "  server {\n    listen 127.0.0.1:" << http_port_ << ";\n"
	     << "    location /stat { rtmp_stat all; }\n  }\n}\n";
}

::testing::AssertionResult RtmpServer::start()
{
	if (process_.running())
		return ::testing::AssertionFailure() << "nginx is already running";
	if (!prepared_) {
		::testing::AssertionResult ready = prepare();
		if (!ready)
			return ready;
	}
	std::string error;
	if (!process_.start(
		    {"nginx", "-p", dir_->path(), "-c", dir_->file("nginx.conf"), "-e", dir_->file("logs/error.log")},
		    dir_->file("logs/stdout.log"), &error))
		return ::testing::AssertionFailure() << error;

	const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
	std::string waiting_for;
	for (;;) {
		if (!process_.running())
			return ::testing::AssertionFailure() << "nginx ended during start-up; its log:\n"
							     << error_log();
		waiting_for.clear();
		if (!port_accepts(rtmp_port_))
			waiting_for = "rtmp port " + std::to_string(rtmp_port_);
		else if (!port_accepts(http_port_))
			waiting_for = "http port " + std::to_string(http_port_);
		else if (options_.tls && !port_accepts(tls_port_))
			waiting_for = "tls port " + std::to_string(tls_port_);
		if (waiting_for.empty())
			return ::testing::AssertionSuccess();
		if (std::chrono::steady_clock::now() >= deadline)
			return ::testing::AssertionFailure()
			       << "nginx did not listen on " << waiting_for << " in time; its log:\n"
			       << error_log();
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

void RtmpServer::stop()
{
	process_.signal(SIGTERM);
	if (!process_.wait_exit(kStopTimeout))
		process_.kill_and_wait();
}

void RtmpServer::kill()
{
	process_.kill_and_wait();
}

bool RtmpServer::running()
{
	return process_.running();
}

std::string RtmpServer::rtmp_url() const
{
	return "rtmp://127.0.0.1:" + std::to_string(rtmp_port_) + "/live";
}

std::string RtmpServer::rtmps_url() const
{
	return "rtmps://localhost:" + std::to_string(tls_port_) + "/live";
}

std::string RtmpServer::ca_file() const
{
	return dir_ ? dir_->file("ca.pem") : std::string();
}

std::string RtmpServer::stat_xml() const
{
	return http_get(http_port_, "/stat");
}

StreamStat RtmpServer::stream(const std::string &name) const
{
	StreamStat stat;
	const std::string xml = stat_xml();
	std::string block;
	for (size_t at = xml.find("<stream>"); at != std::string::npos; at = xml.find("<stream>", at + 1)) {
		size_t end = xml.find("</stream>", at);
		std::string candidate = xml.substr(at, end == std::string::npos ? std::string::npos : end - at);
		if (element(candidate, "name") == name) {
			block = candidate;
			break;
		}
	}
	if (block.empty())
		return stat;
	stat.present = true;
	// The stream's own <publishing/> follows its client list; a client line carries one too.
	stat.publishing = block.find("<publishing/>") != std::string::npos;
	stat.bytes_in = std::strtoull(element(block, "bytes_in").c_str(), nullptr, 10);
	const std::string video = element(block, "video");
	const std::string audio = element(block, "audio");
	stat.width = std::atoi(element(video, "width").c_str());
	stat.height = std::atoi(element(video, "height").c_str());
	stat.video_codec = element(video, "codec");
	stat.audio_codec = element(audio, "codec");
	return stat;
}

bool RtmpServer::wait_publishing(const std::string &name, std::chrono::milliseconds timeout, std::string *last_seen)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	for (;;) {
		StreamStat s = stream(name);
		if (s.publishing)
			return true;
		if (std::chrono::steady_clock::now() >= deadline) {
			if (last_seen)
				*last_seen = describe(s);
			return false;
		}
		std::this_thread::sleep_for(kStatPoll);
	}
}

bool RtmpServer::wait_not_publishing(const std::string &name, std::chrono::milliseconds timeout, std::string *last_seen)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	for (;;) {
		StreamStat s = stream(name);
		if (!s.publishing)
			return true;
		if (std::chrono::steady_clock::now() >= deadline) {
			if (last_seen)
				*last_seen = describe(s);
			return false;
		}
		std::this_thread::sleep_for(kStatPoll);
	}
}

std::string RtmpServer::error_log() const
{
	if (!dir_)
		return {};
	return read_file(dir_->file("logs/error.log")) + read_file(dir_->file("logs/stdout.log"));
}

// The listener thread and the connections it holds.
struct SilentServer::State {
	std::thread thread;
	std::atomic<bool> stop {false};
	std::atomic<int> accepted {0};
	std::vector<int> connections;
};

SilentServer::SilentServer(uint16_t port) : state_(std::make_unique<State>())
{
	Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	int one = 1;
	setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	sockaddr_in addr = loopback(port);
	if (fd.get() < 0 || bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0 ||
	    listen(fd.get(), 16) < 0)
		return;
	socklen_t len = sizeof(addr);
	getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len);
	port_ = ntohs(addr.sin_port);
	listen_fd_ = fd.release();

	State *state = state_.get();
	const int listen_fd = listen_fd_;
	state->thread = std::thread([state, listen_fd] {
		while (!state->stop.load()) {
			pollfd p = {listen_fd, POLLIN, 0};
			if (poll(&p, 1, 50) <= 0)
				continue;
			int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
			if (c >= 0) {
				state->connections.push_back(c);
				state->accepted.fetch_add(1);
			}
		}
	});
}

SilentServer::~SilentServer()
{
	if (state_->thread.joinable()) {
		state_->stop.store(true);
		state_->thread.join();
	}
	for (int c : state_->connections)
		close(c);
	if (listen_fd_ >= 0)
		close(listen_fd_);
}

int SilentServer::accepted() const
{
	return state_->accepted.load();
}

std::string SilentServer::rtmp_url() const
{
	return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live";
}

bool CliPublisher::start(const std::string &url, int width, int height, int fps, std::string *error)
{
	dir_ = std::make_unique<TempDir>("bl-publisher");
	const std::string size = std::to_string(width) + "x" + std::to_string(height);
	const std::string rate = std::to_string(fps);
	return process_.start({"ffmpeg",   "-hide_banner",
			       "-nostdin", "-loglevel",
			       "warning",  "-re",
			       "-f",       "lavfi",
			       "-i",       "testsrc=size=" + size + ":rate=" + rate,
			       "-f",       "lavfi",
			       "-i",       "sine=frequency=440:sample_rate=48000",
			       "-c:v",     "libx264",
			       "-preset",  "ultrafast",
			       "-tune",    "zerolatency",
			       "-g",       rate,
			       "-pix_fmt", "yuv420p",
			       "-c:a",     "aac",
			       "-ac",      "2",
			       "-b:a",     "128k",
			       "-f",       "flv",
			       url},
			      dir_->file("ffmpeg.log"), error);
}

std::string CliPublisher::output() const
{
	return dir_ ? read_file(dir_->file("ffmpeg.log")) : std::string();
}

} // namespace bltest
