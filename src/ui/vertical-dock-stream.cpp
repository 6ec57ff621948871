// The dock's stream half: the status lines of the stream and its destinations, Start and Stop,
// and the recording and replay buttons with the file they wrote.

#include "ui/vertical-dock.hpp"

#include <string>
#include <vector>

#include <QLabel>
#include <QPushButton>
#include <QStringList>

#include "output/vertical-output.hpp"
#include "runtime/runtime.hpp"
#include "ui/dock-style.hpp"
#include "ui/ui-text.hpp"

namespace brasslight {

namespace {

constexpr const char *kStreamingStyle = "font-size: 11px; color: #4caf50; font-weight: bold;";
constexpr const char *kRefusedStyle = "font-size: 11px; color: #e57373;";
constexpr const char *kReconnectingStyle = "font-size: 11px; color: #ffb300; font-weight: bold;";

struct StatusLine {
	QString text;
	const char *style;
};

// "Streaming" only while packets reach the server: a lost connection that the output is still
// trying to get back says so, however long that takes. A stopped stream whose last start was
// refused says why.
StatusLine status_line(const MuxStatus &status, const std::string &refused)
{
	switch (status.state) {
	case MuxState::Connecting:
		return {tr_text("Status.Connecting"), kSmallGrey};
	case MuxState::Reconnecting:
		return {tr_text("Status.Reconnecting"), kReconnectingStyle};
	case MuxState::Streaming:
		// The link fell so far behind that the queued video was dropped: the server has the
		// sound and no picture until the next keyframe.
		if (status.video_paused)
			return {tr_text("Status.VideoPaused"), kReconnectingStyle};
		if (status.frames_dropped == 0)
			return {tr_text("Status.Streaming"), kStreamingStyle};
		return {tr_text("Status.StreamingDropped").arg(status.dropped_share() * 100.0, 0, 'f', 1),
			kStreamingStyle};
	case MuxState::Stopped:
		break;
	}
	if (!refused.empty())
		return {tr_text("Status.NotStarted") + utf8(refused), kRefusedStyle};
	return {tr_text("Status.Stopped"), kSmallGrey};
}

} // namespace

void VerticalDock::updateStatus()
{
	const VerticalOutput *output = runtime ? runtime->output() : nullptr;
	if (!output) {
		statusLabel->setText(tr_text("Status.NoOutput"));
		statusLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
		for (QPushButton *button : {startButton, stopButton, recordButton, replayButton, saveReplayButton})
			button->setEnabled(false);
		destinationsLabel->setVisible(false);
		return;
	}
	updateFiles(*output);
	const std::vector<VerticalOutput::DestinationState> states = output->destination_states();
	// With one destination the status line says it all, as it did before there could be several.
	destinationsLabel->setVisible(states.size() > 1);
	if (states.size() > 1) {
		QStringList lines;
		for (const auto &state : states) {
			// A destination switched off while it streams streams on until stopped: its state shows.
			const QString shown = state.destination.enabled || state.active
						      ? status_line(state.status, std::string()).text
						      : tr_text("Status.Disabled");
			lines << utf8(state.destination.name) + QStringLiteral(": ") + shown;
		}
		destinationsLabel->setText(lines.join(QStringLiteral("\n")));
	}
	const bool active = output->is_active();
	const MuxStatus status = output->stream_status();
	StatusLine line = status_line(status, active ? std::string() : output->refusal_reason());
	// What the adaptive bitrate made of the set one.
	if (status.state == MuxState::Streaming)
		line.text += tr_text("Status.Bitrate").arg(output->video_bitrate_kbps());
	statusLabel->setText(line.text);
	statusLabel->setStyleSheet(QString::fromUtf8(line.style));
	// Start also while some destinations stream and another enabled one does not (added or
	// switched on since, or stopped alone): it starts the rest and leaves the running ones be.
	const bool rest = std::any_of(states.begin(), states.end(), [](const auto &state) {
		return state.destination.enabled && !state.active && !state.destination.url.empty() &&
		       !state.destination.key.empty();
	});
	startButton->setEnabled(!active || rest);
	stopButton->setEnabled(active);
}

void VerticalDock::onStartClicked()
{
	if (!runtime)
		return;
	// Through the runtime: settings saved since the canvas was built are applied first.
	runtime->start_stream();
	updateStatus();
}

void VerticalDock::onStopClicked()
{
	if (!runtime)
		return;
	runtime->stop_stream();
	updateStatus();
}

void VerticalDock::updateFiles(const VerticalOutput &output)
{
	const bool recording = output.recording_active();
	const bool replaying = output.replay_buffer_active();
	// The buttons say what a click does now, to the eye and to a screen reader alike.
	recordButton->setEnabled(true);
	recordButton->setText(tr_text(recording ? "Dock.StopRecording" : "Dock.Record"));
	recordButton->setAccessibleName(tr_text(recording ? "Dock.StopRecording.Name" : "Dock.Record.Name"));
	replayButton->setEnabled(true);
	replayButton->setText(tr_text(replaying ? "Dock.StopReplay" : "Dock.Replay"));
	replayButton->setAccessibleName(tr_text(replaying ? "Dock.StopReplay.Name" : "Dock.Replay.Name"));
	saveReplayButton->setEnabled(replaying);
	if (recording && !wasRecording)
		fileLabel->setText(tr_text("Dock.RecordingTo") + utf8(output.recording_path()));
	else if (!recording && wasRecording)
		fileLabel->setText(tr_text("Dock.Recorded") + utf8(output.recording_path()));
	wasRecording = recording;
}

void VerticalDock::showSavedFile(const std::string &path)
{
	fileLabel->setText(tr_text("Dock.ReplaySaved") + utf8(path));
}

void VerticalDock::onRecordClicked()
{
	if (!runtime || !runtime->output())
		return;
	if (runtime->output()->recording_active())
		runtime->stop_recording();
	else if (const ActionResult result = runtime->start_recording(); !result.ok)
		fileLabel->setText(tr_text("Dock.RecordingRefused") + utf8(result.error));
	updateStatus();
}

void VerticalDock::onReplayClicked()
{
	if (!runtime || !runtime->output())
		return;
	if (runtime->output()->replay_buffer_active())
		runtime->stop_replay_buffer();
	else if (const ActionResult result = runtime->start_replay_buffer(); !result.ok)
		fileLabel->setText(tr_text("Dock.RecordingRefused") + utf8(result.error));
	updateStatus();
}

void VerticalDock::onSaveReplayClicked()
{
	if (runtime)
		runtime->save_replay();
}

void VerticalDock::onStatusTick()
{
	updateStatus();
}

} // namespace brasslight
