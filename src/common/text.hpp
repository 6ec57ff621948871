#pragma once

#include <obs-module.h>

namespace brasslight {

// The module's user-visible texts, looked up by key in data/locale/<locale>.ini through the
// host's text lookup. Log lines stay literal: they are for the log, not the user.

// The text of key in the current locale (en-US where that locale lacks it); the key itself when
// no text is loaded.
const char *text(const char *key);
// Loads the texts of locale (falling back to en-US) from the module's data folder, replacing
// those loaded before; module null or no file loads none.
void load_texts(obs_module_t *module, const char *locale);
// Loads the texts from one ini file: what a test process, which has no module handle, uses.
void load_texts_file(const char *path);
void free_texts();
// The host's own lookup protocol (obs_module_get_string).
bool find_text(const char *key, const char **translated);

} // namespace brasslight
