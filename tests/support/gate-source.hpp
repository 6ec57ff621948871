#pragma once

#include <chrono>
#include <string>

#include <obs.hpp>

namespace bltest {

// FAKE, named as such: a host source type of the tests' own, "bltest_gate_source". No real source
// can hold a draw at a chosen point; this one blocks its render on the host's graphics thread
// while it is closed, but only when it is drawn into a display (a swap chain, not a texture of a
// mix), so a test can act while a preview draw is provably under way. One gate per process at a
// time; a closed gate opens by itself after 20 s so that a failing test cannot hang forever.
class GateSource {
public:
	explicit GateSource(const std::string &name);
	~GateSource();
	GateSource(const GateSource &) = delete;
	GateSource &operator=(const GateSource &) = delete;

	// The caller's reference; drop it to leave the source to whoever else holds one.
	OBSSourceAutoRelease &source() { return ref; }
	const std::string &name() const { return source_name; }

	// True once a display draw is blocked inside the gate.
	bool wait_entered(std::chrono::milliseconds timeout);
	void open();
	// A display draw is blocked inside the gate right now.
	bool rendering() const;
	// The source's destroy callback ran; and whether a render was still inside it then.
	bool destroyed() const;
	bool destroyed_while_rendering() const;

private:
	std::string source_name;
	OBSSourceAutoRelease ref;
};

} // namespace bltest
