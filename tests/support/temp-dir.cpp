#include "temp-dir.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bltest {

TempDir::TempDir(const std::string &prefix)
{
	dir = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
	if (!mkdtemp(dir.data()))
		throw std::runtime_error("mkdtemp failed for " + dir);
}

TempDir::~TempDir()
{
	if (getenv("BL_KEEP_TEMP"))
		return;
	std::error_code ignored;
	std::filesystem::remove_all(dir, ignored);
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream content;
	content << in.rdbuf();
	return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
	std::filesystem::create_directories(std::filesystem::path(path).parent_path());
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << content;
}

bool file_exists(const std::string &path)
{
	return std::filesystem::exists(path);
}

} // namespace bltest
