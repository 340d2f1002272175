// The classification of a pool's HTTP answer: two leading bytes choose the
// status (and, now and then, a body that could not be read), the rest is
// the body. Besides crashes, checks what the callers rely on: an HTTP error
// is always a network error with UTF-8 text, and a result only comes from a
// body that really holds it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "src/base/unicode.hpp"
#include "src/pool/pool_client.hpp"

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "fuzz_rpc_answer: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned choice = static_cast<unsigned>(data[0]) << 8 | data[1];
    const long status = static_cast<long>(choice % 600);
    std::optional<std::string> read_error;
    if ((choice / 600) % 8 == 7) read_error = "body longer than 10485760 bytes";
    const std::string body(reinterpret_cast<const char*>(data + 2), size - 2);

    const auto answer = classify_rpc_answer(status, body, read_error);
    if (!answer) {
        const std::string text = rpc_error_fmt(answer.error());
        if (status >= 400) {
            // The body of an HTTP error is shown to the user, repaired to
            // UTF-8 and cut short; nothing else may come out.
            if (!std::holds_alternative<NetworkError>(answer.error()))
                violated("an HTTP error status gave something else than a network error");
            if (!text.starts_with("network: HTTP ") || !is_valid_utf8(text)) violated("an HTTP error's text");
        }
        return 0;
    }
    if (status >= 400) violated("an HTTP error status gave a result");
    if (read_error) violated("an unread body gave a result");
    // The answer was read with a depth limit; without one it must parse too,
    // to an object holding that very result.
    const auto whole = nlohmann::json::parse(body, nullptr, false);
    if (whole.is_discarded() || !whole.is_object()) violated("a result from a body that is no JSON object");
    const auto result = whole.find("result");
    if (result == whole.end() || *result != *answer) violated("the result is not the body's \"result\"");
    (void)answer->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return 0;
}
