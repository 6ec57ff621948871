// The entry points the host looks up by name in the module file. They only forward: the work
// lives in the module's static library, where the tests reach it too.

#include <obs-module.h>

#include "module/module-lifecycle.hpp"

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
	brasslight::module = module;
}

MODULE_EXPORT uint32_t obs_module_ver(void)
{
	return brasslight::kHostApiVersion;
}

MODULE_EXPORT void obs_module_set_locale(const char *locale)
{
	brasslight::module_set_locale(locale);
}

MODULE_EXPORT void obs_module_free_locale(void)
{
	brasslight::module_free_locale();
}

MODULE_EXPORT bool obs_module_get_string(const char *lookup_string, const char **translated_string)
{
	return brasslight::module_get_string(lookup_string, translated_string);
}

MODULE_EXPORT const char *obs_module_name(void)
{
	return brasslight::kModuleName;
}

MODULE_EXPORT const char *obs_module_description(void)
{
	return brasslight::kModuleDescription;
}

MODULE_EXPORT bool obs_module_load(void)
{
	return brasslight::module_load();
}

MODULE_EXPORT void obs_module_post_load(void)
{
	brasslight::module_post_load();
}

MODULE_EXPORT void obs_module_unload(void)
{
	brasslight::module_unload();
}
