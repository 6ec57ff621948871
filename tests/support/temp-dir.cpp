#include "temp-dir.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace bltest {

TempDir::TempDir(const std::string &prefix)
	: dir((std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string())
{
	if (!mkdtemp(dir.data()))
		throw std::runtime_error("mkdtemp failed for " + dir);
}

TempDir::~TempDir()
{
	std::error_code ignored;
	if (!getenv("BL_KEEP_TEMP"))
		std::filesystem::remove_all(dir, ignored);
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &content)
{
	std::filesystem::create_directories(std::filesystem::path(path).parent_path());
	std::ofstream(path, std::ios::binary) << content;
}

} // namespace bltest
