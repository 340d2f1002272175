// Text that comes from the pool (job ids, statuses, error messages and data,
// copies of its answers) as it may be shown on the console: a pool must not
// be able to move the cursor, clear the screen, retitle the window, recolour
// our lines or turn their text around, nor flood the console with
// megabytes of text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The most characters of one pool text a line shows, as many as it shows of
// an HTTP error body: enough to tell ids apart and to read a message.
inline constexpr std::size_t SHOWN_POOL_TEXT_CHARS = 200;

// The most characters a line shows of a template it refused: a signed
// template with the longest job id accepted takes about 1 700, and is shown
// whole.
inline constexpr std::size_t SHOWN_TEMPLATE_CHARS = 2048;

// The text with every control character written out visibly: C0 and DEL as
// \x1b, C1 and the bidirectional embeddings, overrides and isolates
// (U+202A–U+202E, U+2066–U+2069) as \u202e; invalid UTF-8 replaced by
// U+FFFD. Everything else is kept as it is. For display only: the wire, the
// job slot and every comparison keep the pool's exact bytes. Apply it to the
// pool's text before painting, never to a painted line, whose colour
// sequences are ours.
std::string console_safe(std::string_view pool_text);

// The first `shown_chars` characters of the text, invalid UTF-8 replaced by
// U+FFFD; when that leaves something out, followed by "…[N bytes in all]",
// N the text's whole length. For the pool's part of a text of ours that is
// shown later, such as an error's copy of an answer.
std::string pool_text_cut(std::string_view pool_text, std::size_t shown_chars = SHOWN_POOL_TEXT_CHARS);

// console_safe of pool_text_cut: how a pool text reaches a console line.
std::string console_safe_cut(std::string_view pool_text);
