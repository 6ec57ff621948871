#pragma once

#include <string>

#include <util/util.hpp>

namespace brasslight {

// One ini file of the host's settings store, opened at a path its owner chose. Closed (null)
// while it is not open; the host's config calls need an open one.
class IniFile {
public:
	// Closes what is open, then opens path, creating the file and every missing folder above it.
	// False (and closed) when it cannot be opened.
	bool open(const std::string &path);
	void close();
	// The whole store with the host's safe save ("tmp" temporary file); true on success. A store
	// without a single key is already on disk as the empty file its open created, and the host's
	// writer fails on empty content, so that case writes nothing and succeeds.
	bool save();

	config_t *get() const { return file; }
	operator config_t *() const { return file; }
	explicit operator bool() const { return file != nullptr; }

private:
	ConfigFile file;
};

} // namespace brasslight
