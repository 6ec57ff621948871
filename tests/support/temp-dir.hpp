#pragma once

#include <string>

namespace bltest {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes, unless BL_KEEP_TEMP is set in the environment (to look at what a test left).
class TempDir {
public:
	explicit TempDir(const std::string &prefix = "bl-test");
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;

	const std::string &path() const { return dir; }
	std::string file(const std::string &name) const { return dir + "/" + name; }

private:
	std::string dir;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

} // namespace bltest
