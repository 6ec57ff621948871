// Opening and closing the FLV-over-RTMP connection of one output. Runs with the record's lock
// held: open_muxer on the host's encoder thread that delivered a packet, close_muxer on the
// thread of start, stop or destroy, or on an encoder thread when a disconnect is handled.

#include "mux/mux-output-data.hpp"

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <util/platform.h>

#include "module/log.hpp"

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

std::string describe_error(int code)
{
	char text[256] = {};
	av_strerror(code, text, sizeof(text));
	return text;
}

// The encoder's header data (H.264 parameter sets, AAC AudioSpecificConfig), or false while it
// has none yet.
bool encoder_header(obs_encoder_t *encoder, uint8_t **data, size_t *size)
{
	return obs_encoder_get_extra_data(encoder, data, size) && *data && *size > 0;
}

// A copy of the header data in a buffer that libavformat frees with the stream.
bool set_extradata(AVCodecParameters *par, const uint8_t *data, size_t size)
{
	par->extradata = static_cast<uint8_t *>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
	if (!par->extradata)
		return false;
	memcpy(par->extradata, data, size);
	par->extradata_size = static_cast<int>(size);
	return true;
}

OpenResult fatal(MuxOutputData &record, const char *last_error)
{
	obs_output_set_last_error(record.output, last_error);
	return OpenResult::Fatal;
}

// The options of the connection (taken by the protocols in avio_open2) and of the FLV muxer
// (taken by avformat_write_header).
DictionaryPtr connection_options(const MuxOutputData &record)
{
	DictionaryPtr options;
	dict_set(options, "rtmp_live", "live");
	dict_set(options, "flvflags", "no_duration_filesize");
	dict_set(options, "rtmp_flashver", "FMLE/3.0 (compatible; FMSc/1.0)");
	dict_set(options, "rtmp_tcurl", record.tcurl.c_str());
	dict_set(options, "rtmp_swfurl", record.tcurl.c_str());
	dict_set(options, "rtmp_pageurl", "");
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
	const auto *record = static_cast<const MuxOutputData *>(opaque);
	const uint64_t deadline = record->io_deadline_ns.load(std::memory_order_relaxed);
	return deadline != 0 && os_gettime_ns() >= deadline ? 1 : 0;
}

void arm_io_deadline(MuxOutputData &record, uint64_t budget_ns)
{
	record.io_deadline_ns.store(os_gettime_ns() + budget_ns, std::memory_order_relaxed);
}

void disarm_io_deadline(MuxOutputData &record)
{
	record.io_deadline_ns.store(0, std::memory_order_relaxed);
}

OpenResult open_muxer(MuxOutputData &record)
{
	if (record.url.empty())
		return fatal(record, "Missing RTMP server/key");

	obs_encoder_t *video_encoder = obs_output_get_video_encoder(record.output);
	if (!video_encoder)
		return fatal(record, "No video encoder attached");
	uint8_t *video_header = nullptr;
	size_t video_header_size = 0;
	if (!encoder_header(video_encoder, &video_header, &video_header_size))
		return OpenResult::NotReady;

	obs_encoder_t *audio_encoder = obs_output_get_audio_encoder(record.output, 0);
	if (!audio_encoder)
		return fatal(record, "No audio encoder attached");
	uint8_t *audio_header = nullptr;
	size_t audio_header_size = 0;
	if (!encoder_header(audio_encoder, &audio_header, &audio_header_size))
		return OpenResult::NotReady;

	video_t *video = obs_output_video(record.output);
	if (!video)
		return fatal(record, "No video output attached");
	// The picture's size is the video encoder's: on a host before 30, obs_output_video is
	// always the main mix, also when the encoder encodes another canvas's mix.
	const uint32_t width = obs_encoder_get_width(video_encoder);
	const uint32_t height = obs_encoder_get_height(video_encoder);
	if (width == 0 || height == 0)
		return fatal(record, "Invalid video dimensions");

	obs_audio_info audio_info = {};
	const int sample_rate =
		obs_get_audio_info(&audio_info) ? static_cast<int>(audio_info.samples_per_sec) : kDefaultSampleRate;
	const uint32_t fps_num = record.fps_num ? record.fps_num : 30;
	const uint32_t fps_den = record.fps_den ? record.fps_den : 1;

	AVFormatContext *raw_context = nullptr;
	if (avformat_alloc_output_context2(&raw_context, nullptr, "flv", record.url.c_str()) < 0 || !raw_context)
		return fatal(record, "avformat_alloc_output_context2 failed");
	// The I/O context is not open yet: the deleter then only frees the context.
	FormatContextPtr context(raw_context);
	context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
	context->max_interleave_delta = 0;
	context->max_delay = 0;
	context->interrupt_callback = AVIOInterruptCB {io_interrupt, &record};

	AVStream *video_stream = avformat_new_stream(context.get(), nullptr);
	if (!video_stream)
		return fatal(record, "avformat_new_stream(video) failed");
	video_stream->time_base = AVRational {1, 1000};
	video_stream->avg_frame_rate = AVRational {static_cast<int>(fps_num), static_cast<int>(fps_den)};
	video_stream->r_frame_rate = video_stream->avg_frame_rate;
	AVCodecParameters *vpar = video_stream->codecpar;
	vpar->codec_type = AVMEDIA_TYPE_VIDEO;
	vpar->codec_id = AV_CODEC_ID_H264;
	vpar->width = static_cast<int>(width);
	vpar->height = static_cast<int>(height);
	vpar->format = AV_PIX_FMT_YUV420P;
	if (!set_extradata(vpar, video_header, video_header_size))
		return fatal(record, "av_mallocz(video extradata) failed");

	AVStream *audio_stream = avformat_new_stream(context.get(), nullptr);
	if (!audio_stream)
		return fatal(record, "avformat_new_stream(audio) failed");
	audio_stream->time_base = AVRational {1, 1000};
	AVCodecParameters *apar = audio_stream->codecpar;
	apar->codec_type = AVMEDIA_TYPE_AUDIO;
	apar->codec_id = AV_CODEC_ID_AAC;
	apar->sample_rate = sample_rate;
	apar->bit_rate = kAudioBitRate;
	apar->frame_size = kAudioFrameSize;
	av_channel_layout_default(&apar->ch_layout, kAudioChannels);
	if (!set_extradata(apar, audio_header, audio_header_size))
		return fatal(record, "av_mallocz(audio extradata) failed");

	DictionaryPtr options = connection_options(record);

	// One deadline for the connect and the header: together they are the publish handshake.
	arm_io_deadline(record, kOpenBudgetNs);
	if (!(context->oformat->flags & AVFMT_NOFILE)) {
		AVDictionary *raw_options = options.release();
		const int rc = avio_open2(&context->pb, record.url.c_str(), AVIO_FLAG_WRITE,
					  &context->interrupt_callback, &raw_options);
		options.reset(raw_options);
		if (rc < 0) {
			disarm_io_deadline(record);
			log_msg(LOG_ERROR, "avio_open2 failed: %s (code %d)", describe_error(rc).c_str(), rc);
			return fatal(record, "Stream rejected — check server URL and stream key");
		}
	}

	AVDictionary *raw_options = options.release();
	const int rc = avformat_write_header(context.get(), &raw_options);
	av_dict_free(&raw_options);
	if (rc < 0) {
		log_msg(LOG_ERROR, "avformat_write_header failed: %s (code %d)", describe_error(rc).c_str(), rc);
		// The connection goes with the context; closing it is bounded too.
		arm_io_deadline(record, kCloseBudgetNs);
		context.reset();
		disarm_io_deadline(record);
		return fatal(record, "Stream rejected — write header failed");
	}
	disarm_io_deadline(record);

	log_msg(LOG_INFO, "mux opened: video_tb=%d/%d audio_tb=%d/%d fps=%u/%u sample_rate=%d",
		video_stream->time_base.num, video_stream->time_base.den, audio_stream->time_base.num,
		audio_stream->time_base.den, fps_num, fps_den, sample_rate);

	record.fmt_ctx = std::move(context);
	record.video_stream = record.fmt_ctx->streams[kVideoStreamIndex];
	record.audio_stream = record.fmt_ctx->streams[kAudioStreamIndex];
	record.last_video_dts = kNoTimestamp;
	record.last_audio_dts = kNoTimestamp;
	return OpenResult::Opened;
}

void close_muxer(MuxOutputData &record)
{
	if (!record.fmt_ctx)
		return;
	arm_io_deadline(record, kCloseBudgetNs);
	av_write_trailer(record.fmt_ctx.get());
	record.fmt_ctx.reset();
	disarm_io_deadline(record);
	record.video_stream = nullptr;
	record.audio_stream = nullptr;
}

} // namespace brasslight
