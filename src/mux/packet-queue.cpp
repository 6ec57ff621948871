#include "mux/packet-queue.hpp"

#include <algorithm>
#include <utility>

#include <obs-avc.h>
#include <obs-nal.h>

namespace brasslight {

QueuedPacket::QueuedPacket(encoder_packet *source)
{
	// Takes a reference on the host's payload: no copy, and the host frees it after our release.
	obs_encoder_packet_ref(&packet_, source);
	held_ = true;
	// A scan of the NAL headers (a few bytes per slice), for non-key video only.
	disposable_ =
		video() && !packet_.keyframe && obs_parse_avc_packet_priority(&packet_) == OBS_NAL_PRIORITY_DISPOSABLE;
}

QueuedPacket::QueuedPacket(QueuedPacket &&other) noexcept
	: packet_(other.packet_), held_(other.held_), disposable_(other.disposable_)
{
	other.held_ = false;
}

QueuedPacket &QueuedPacket::operator=(QueuedPacket &&other) noexcept
{
	if (this != &other) {
		release();
		packet_ = other.packet_;
		held_ = other.held_;
		disposable_ = other.disposable_;
		other.held_ = false;
	}
	return *this;
}

QueuedPacket::~QueuedPacket()
{
	release();
}

void QueuedPacket::release()
{
	if (held_)
		obs_encoder_packet_release(&packet_);
	held_ = false;
}

int64_t PacketQueue::oldest_dts_usec() const
{
	if (in_flight_dts_usec_ != kNone)
		return in_flight_dts_usec_;
	return packets_.empty() ? kNone : packets_.front().get().dts_usec;
}

int64_t PacketQueue::span_us() const
{
	const int64_t oldest = oldest_dts_usec();
	if (packets_.empty() || oldest == kNone)
		return 0;
	return std::max<int64_t>(0, packets_.back().get().dts_usec - oldest);
}

float PacketQueue::congestion() const
{
	if (video_waits_for_keyframe_)
		return 1.0f;
	return std::min(1.0f, static_cast<float>(span_us()) / static_cast<float>(kDropVideoUs));
}

void PacketQueue::drop_queued_video(bool disposable_only)
{
	const auto before = packets_.size();
	packets_.erase(std::remove_if(packets_.begin(), packets_.end(),
				      [&](const QueuedPacket &p) {
					      return p.video() && (!disposable_only || p.disposable());
				      }),
		       packets_.end());
	dropped_frames_ += before - packets_.size();
}

PacketQueue::Push PacketQueue::push(encoder_packet *packet)
{
	const bool video = packet->type == OBS_ENCODER_VIDEO;
	if (video && video_waits_for_keyframe_) {
		if (!packet->keyframe) {
			dropped_frames_ += 1;
			return Push::Dropped;
		}
		video_waits_for_keyframe_ = false;
	}
	const int64_t oldest = oldest_dts_usec();
	const int64_t span = oldest == kNone ? 0 : packet->dts_usec - oldest;
	if (span > kQueueCapUs || packets_.size() >= kQueueCapPackets)
		return Push::Overflow;
	if (video && span > kDropVideoUs) {
		drop_queued_video(false);
		if (!packet->keyframe) {
			video_waits_for_keyframe_ = true;
			dropped_frames_ += 1;
			return Push::Dropped;
		}
	} else if (video && span > kDropDisposableUs) {
		drop_queued_video(true);
	}
	packets_.emplace_back(packet);
	return Push::Queued;
}

bool PacketQueue::pop(QueuedPacket &out)
{
	if (packets_.empty())
		return false;
	out = std::move(packets_.front());
	packets_.pop_front();
	in_flight_dts_usec_ = out.get().dts_usec;
	return true;
}

size_t PacketQueue::clear()
{
	const auto video = static_cast<size_t>(
		std::count_if(packets_.begin(), packets_.end(), [](const QueuedPacket &p) { return p.video(); }));
	packets_.clear();
	in_flight_dts_usec_ = kNone;
	video_waits_for_keyframe_ = false;
	return video;
}

} // namespace brasslight
