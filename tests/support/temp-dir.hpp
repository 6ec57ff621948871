#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace bltest {

// Removed with its contents when the object goes, unless BL_KEEP_TEMP is set (to look at what a test left).
class TempDir {
public:
	explicit TempDir(const std::string &prefix = "bl-test")
		: dir((std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string())
	{
		if (!mkdtemp(dir.data()))
			throw std::runtime_error("mkdtemp failed for " + dir);
	}
	~TempDir()
	{
		std::error_code ignored;
		if (!getenv("BL_KEEP_TEMP"))
			std::filesystem::remove_all(dir, ignored);
	}
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;

	const std::string &path() const { return dir; }
	std::string file(const std::string &name) const { return dir + "/" + name; }

private:
	std::string dir;
};

inline std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace bltest
