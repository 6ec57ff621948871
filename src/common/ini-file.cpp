#include "common/ini-file.hpp"

#include <util/platform.h>

namespace brasslight {

namespace {

void ensure_parent_directory(const std::string &path)
{
	const size_t cut = path.find_last_of("/\\");
	if (cut == std::string::npos || cut == 0)
		return;
	os_mkdirs(path.substr(0, cut).c_str());
}

} // namespace

bool IniFile::open(const std::string &path)
{
	file.Close();
	ensure_parent_directory(path);
	if (file.Open(path.c_str(), CONFIG_OPEN_ALWAYS) == CONFIG_SUCCESS)
		return true;
	file.Close();
	return false;
}

void IniFile::close()
{
	file.Close();
}

bool IniFile::save()
{
	if (!file)
		return false;
	if (config_num_sections(file) == 0)
		return true;
	return config_save_safe(file, "tmp", nullptr) == CONFIG_SUCCESS;
}

} // namespace brasslight
