#include "common/text.hpp"

#include <util/text-lookup.h>
#include <util/util.hpp>

namespace brasslight {

namespace {

constexpr const char *kDefaultLocale = "en-US";

// Module-wide: the host sets the locale before load and frees it after unload, outside the
// lifetime of every object of ours. Written only on the user-interface thread, by those calls.
TextLookup texts;

} // namespace

const char *text(const char *key)
{
	const char *found = key;
	text_lookup_getstr(texts, key, &found);
	return found;
}

void load_texts(obs_module_t *module, const char *locale)
{
	texts = nullptr;
	if (module)
		texts = obs_module_load_locale(module, kDefaultLocale, locale);
}

void load_texts_file(const char *path)
{
	texts = text_lookup_create(path);
}

void free_texts()
{
	texts = nullptr;
}

bool find_text(const char *key, const char **translated)
{
	return text_lookup_getstr(texts, key, translated);
}

} // namespace brasslight
