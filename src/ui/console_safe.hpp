// Text that comes from the pool (job ids, statuses, error messages and data,
// copies of its answers) as it may be shown on the console: a pool must not
// be able to move the cursor, clear the screen, retitle the window, recolour
// our lines or turn their text around.
#pragma once

#include <string>
#include <string_view>

// The text with every control character written out visibly: C0 and DEL as
// \x1b, C1 and the bidirectional embeddings, overrides and isolates
// (U+202A–U+202E, U+2066–U+2069) as \u202e; invalid UTF-8 replaced by
// U+FFFD. Everything else is kept as it is. For display only: the wire, the
// job slot and every comparison keep the pool's exact bytes. Apply it to the
// pool's text before painting, never to a painted line, whose colour
// sequences are ours.
std::string console_safe(std::string_view pool_text);
