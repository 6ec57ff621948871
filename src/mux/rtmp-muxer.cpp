// Opening and closing the FLV-over-RTMP connection of one output, all on the output's sender
// thread: prepare_muxer and adopt_muxer with the record's lock held, open_muxer, close_muxer and
// discard_muxer without it (they do the network I/O).

#include "mux/mux-output-data.hpp"
#include "mux/mux-output.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <obs.hpp>
#include <util/platform.h>

#include "common/log.hpp"

namespace brasslight {

namespace {

constexpr int kVideoStreamIndex = 0;
constexpr int kAudioStreamIndex = 1;
constexpr int kAudioBitRate = 160000;
constexpr int kAudioFrameSize = 1024;
constexpr int kAudioChannels = 2;
constexpr int kDefaultSampleRate = 48000;

struct DictionaryDeleter {
	void operator()(AVDictionary *dictionary) const { av_dict_free(&dictionary); }
};
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

// av_dict_set on a dictionary held by a DictionaryPtr.
void dict_set(DictionaryPtr &dictionary, const char *key, const char *value)
{
	AVDictionary *raw = dictionary.release();
	av_dict_set(&raw, key, value, 0);
	dictionary.reset(raw);
}

// The encoder's header data (H.264 parameter sets, AAC AudioSpecificConfig), or false while it
// has none yet.
bool encoder_header(obs_encoder_t *encoder, std::vector<uint8_t> &header)
{
	uint8_t *data = nullptr;
	size_t size = 0;
	if (!obs_encoder_get_extra_data(encoder, &data, &size) || !data || size == 0)
		return false;
	header.assign(data, data + size);
	return true;
}

// A copy of the header data in a buffer that libavformat frees with the stream.
bool set_extradata(AVCodecParameters *par, const std::vector<uint8_t> &header)
{
	par->extradata = static_cast<uint8_t *>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
	if (!par->extradata)
		return false;
	memcpy(par->extradata, header.data(), header.size());
	par->extradata_size = static_cast<int>(header.size());
	return true;
}

PrepareResult fatal(MuxOutputData &record, const char *last_error)
{
	obs_output_set_last_error(record.output, last_error);
	return PrepareResult::Fatal;
}

OpenedMuxer failed(const char *last_error)
{
	return OpenedMuxer {nullptr, last_error};
}

// Closing an I/O context sends the RTMP unpublish messages: bounded like a close.
void close_bounded(SenderRun &run, FormatContextPtr &context)
{
	arm_io_deadline(run, kCloseBudgetNs);
	context.reset();
	disarm_io_deadline(run);
}

// The options of the connection (taken by the protocols in avio_open2) and of the FLV muxer
// (taken by avformat_write_header).
DictionaryPtr connection_options(const MuxerRequest &request)
{
	DictionaryPtr options;
	dict_set(options, "rtmp_live", "live");
	dict_set(options, "flvflags", "no_duration_filesize");
	dict_set(options, "rtmp_flashver", "FMLE/3.0 (compatible; FMSc/1.0)");
	dict_set(options, "rtmp_tcurl", request.tcurl.c_str());
	dict_set(options, "rtmp_swfurl", request.tcurl.c_str());
	dict_set(options, "rtmp_pageurl", "");
	// Passed down by the rtmp protocol to its TCP connection.
	dict_set(options, "send_buffer_size", std::to_string(send_buffer_bytes(request.video_kbps)).c_str());
	// Never the rtmp protocol's own "timeout": that one is in seconds and means listen mode.
	dict_set(options, "rw_timeout", std::to_string(kSocketTimeoutUs).c_str());
	dict_set(options, "protocol_whitelist", kProtocolWhitelist);
	// rtmps: the stream key must reach only the server the URL names, so the certificate is
	// checked against the system's trust store, or the CA file the environment names.
	dict_set(options, "tls_verify", "1");
	const char *ca_file = getenv("SSL_CERT_FILE");
	if (ca_file && *ca_file)
		dict_set(options, "ca_file", ca_file);
	return options;
}

} // namespace

void FormatContextDeleter::operator()(AVFormatContext *context) const
{
	if (!context)
		return;
	if (!(context->oformat->flags & AVFMT_NOFILE))
		avio_closep(&context->pb);
	avformat_free_context(context);
}

int io_interrupt(void *opaque)
{
	const auto *run = static_cast<const SenderRun *>(opaque);
	const uint64_t now = os_gettime_ns();
	// A halt ends a connect at once (nothing is lost), and a write or close at its deadline.
	const uint64_t halt = run->halt_deadline_ns.load(std::memory_order_relaxed);
	if (halt != 0 && (run->connecting.load(std::memory_order_relaxed) || now >= halt))
		return 1;
	// A send queue at its cap: the link cannot carry the stream, whatever the write does.
	if (run->record.overflow.load(std::memory_order_relaxed))
		return 1;
	const uint64_t deadline = run->io_deadline_ns.load(std::memory_order_relaxed);
	return deadline != 0 && now >= deadline ? 1 : 0;
}

void arm_io_deadline(SenderRun &run, uint64_t budget_ns)
{
	run.io_deadline_ns.store(os_gettime_ns() + budget_ns, std::memory_order_relaxed);
}

void disarm_io_deadline(SenderRun &run)
{
	run.io_deadline_ns.store(0, std::memory_order_relaxed);
}

PrepareResult prepare_muxer(MuxOutputData &record, MuxerRequest &request)
{
	if (record.url.empty())
		return fatal(record, "Missing RTMP server/key");

	obs_encoder_t *video_encoder = obs_output_get_video_encoder(record.output);
	if (!video_encoder)
		return fatal(record, "No video encoder attached");
	if (!encoder_header(video_encoder, request.video_header))
		return PrepareResult::NotReady;

	obs_encoder_t *audio_encoder = obs_output_get_audio_encoder(record.output, 0);
	if (!audio_encoder)
		return fatal(record, "No audio encoder attached");
	if (!encoder_header(audio_encoder, request.audio_header))
		return PrepareResult::NotReady;

	if (!obs_output_video(record.output))
		return fatal(record, "No video output attached");
	// The picture's size is the video encoder's: on a host before 30, obs_output_video is
	// always the main mix, also when the encoder encodes another canvas's mix.
	OBSDataAutoRelease video_settings = obs_encoder_get_settings(video_encoder);
	request.video_kbps = static_cast<uint32_t>(std::max<long long>(0, obs_data_get_int(video_settings, "bitrate")));
	request.width = obs_encoder_get_width(video_encoder);
	request.height = obs_encoder_get_height(video_encoder);
	if (request.width == 0 || request.height == 0)
		return fatal(record, "Invalid video dimensions");

	obs_audio_info audio_info = {};
	request.sample_rate =
		obs_get_audio_info(&audio_info) ? static_cast<int>(audio_info.samples_per_sec) : kDefaultSampleRate;
	request.fps_num = record.fps_num ? record.fps_num : 30;
	request.fps_den = record.fps_den ? record.fps_den : 1;
	request.url = record.url;
	request.tcurl = record.tcurl;
	return PrepareResult::Ready;
}

OpenedMuxer open_muxer(SenderRun &run, const MuxerRequest &request)
{
	AVFormatContext *raw_context = nullptr;
	if (avformat_alloc_output_context2(&raw_context, nullptr, "flv", request.url.c_str()) < 0 || !raw_context)
		return failed("avformat_alloc_output_context2 failed");
	// The I/O context is not open yet: the deleter then only frees the context.
	FormatContextPtr context(raw_context);
	context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
	context->max_delay = 0;
	// The run outlives the connection: the packet writes are bounded through it too.
	context->interrupt_callback = AVIOInterruptCB {io_interrupt, &run};

	AVStream *video_stream = avformat_new_stream(context.get(), nullptr);
	if (!video_stream)
		return failed("avformat_new_stream(video) failed");
	video_stream->time_base = AVRational {1, 1000};
	video_stream->avg_frame_rate =
		AVRational {static_cast<int>(request.fps_num), static_cast<int>(request.fps_den)};
	video_stream->r_frame_rate = video_stream->avg_frame_rate;
	AVCodecParameters *vpar = video_stream->codecpar;
	vpar->codec_type = AVMEDIA_TYPE_VIDEO;
	vpar->codec_id = AV_CODEC_ID_H264;
	vpar->width = static_cast<int>(request.width);
	vpar->height = static_cast<int>(request.height);
	vpar->format = AV_PIX_FMT_YUV420P;
	if (!set_extradata(vpar, request.video_header))
		return failed("av_mallocz(video extradata) failed");

	AVStream *audio_stream = avformat_new_stream(context.get(), nullptr);
	if (!audio_stream)
		return failed("avformat_new_stream(audio) failed");
	audio_stream->time_base = AVRational {1, 1000};
	AVCodecParameters *apar = audio_stream->codecpar;
	apar->codec_type = AVMEDIA_TYPE_AUDIO;
	apar->codec_id = AV_CODEC_ID_AAC;
	apar->sample_rate = request.sample_rate;
	apar->bit_rate = kAudioBitRate;
	apar->frame_size = kAudioFrameSize;
	av_channel_layout_default(&apar->ch_layout, kAudioChannels);
	if (!set_extradata(apar, request.audio_header))
		return failed("av_mallocz(audio extradata) failed");

	DictionaryPtr options = connection_options(request);

	// One deadline for the connect and the header: together they are the publish handshake.
	arm_io_deadline(run, kOpenBudgetNs);
	if (!(context->oformat->flags & AVFMT_NOFILE)) {
		AVDictionary *raw_options = options.release();
		const int rc = avio_open2(&context->pb, request.url.c_str(), AVIO_FLAG_WRITE,
					  &context->interrupt_callback, &raw_options);
		options.reset(raw_options);
		if (rc < 0) {
			disarm_io_deadline(run);
			// A connect that a stop cut short failed for no fault of the server's.
			if (!run.halted())
				log_msg(LOG_ERROR, "avio_open2 failed: %s (code %d)", describe_error(rc).c_str(), rc);
			return failed("Stream rejected — check server URL and stream key");
		}
	}

	AVDictionary *raw_options = options.release();
	const int rc = avformat_write_header(context.get(), &raw_options);
	av_dict_free(&raw_options);
	disarm_io_deadline(run);
	if (rc < 0) {
		if (!run.halted())
			log_msg(LOG_ERROR, "avformat_write_header failed: %s (code %d)", describe_error(rc).c_str(),
				rc);
		close_bounded(run, context);
		return failed("Stream rejected — write header failed");
	}
	log_msg(LOG_INFO, "mux opened: video_tb=%d/%d audio_tb=%d/%d fps=%d/%d sample_rate=%d",
		video_stream->time_base.num, video_stream->time_base.den, audio_stream->time_base.num,
		audio_stream->time_base.den, video_stream->avg_frame_rate.num, video_stream->avg_frame_rate.den,
		audio_stream->codecpar->sample_rate);
	return OpenedMuxer {std::move(context), nullptr};
}

void adopt_muxer(MuxOutputData &record, FormatContextPtr context)
{
	record.fmt_ctx = std::move(context);
	record.video_stream = record.fmt_ctx->streams[kVideoStreamIndex];
	record.audio_stream = record.fmt_ctx->streams[kAudioStreamIndex];
	record.last_video_dts = kNoTimestamp;
	record.last_audio_dts = kNoTimestamp;
}

void discard_muxer(SenderRun &run, FormatContextPtr context)
{
	close_bounded(run, context);
}

void close_muxer(MuxOutputData &record, SenderRun &run)
{
	FormatContextPtr context;
	{
		// Brief: whoever reads the record under the lock sees the muxer gone at once.
		std::lock_guard<std::mutex> lock(record.mutex);
		context = std::move(record.fmt_ctx);
		record.video_stream = nullptr;
		record.audio_stream = nullptr;
	}
	if (!context)
		return;
	arm_io_deadline(run, kCloseBudgetNs);
	av_write_trailer(context.get());
	context.reset();
	disarm_io_deadline(run);
}

} // namespace brasslight
