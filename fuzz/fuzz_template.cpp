// Job templates as a pool sends them, any JSON at all, read under both
// signature policies. Besides crashes, checks what the poller relies on:
// the content checks come before the signature and do not depend on the
// policy, requiring signatures only ever refuses more, and an accepted job
// never has a share target below its block target.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "src/base/error.hpp"
#include "src/pool/job_template.hpp"
#include "src/pool/pool_client.hpp"
#include "src/pow/target.hpp"

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "fuzz_template: %s\n", what);
    std::abort();
}

// No request is ever made: parsing only reads the address and is_dev.
const std::shared_ptr<PoolClient> USER =
    pool_client_new("http://127.0.0.1:9", "qzUserAddress", "rig", std::chrono::seconds(1), false);

TemplateResult parse_with_policy(const nlohmann::json& tmpl, bool accept_unsigned) {
    ACCEPT_UNSIGNED_JOBS = accept_unsigned;
    return parse_template(tmpl, *USER);
}

void check_job(const TemplateResult& result) {
    const auto* job = std::get_if<std::shared_ptr<const Job>>(&result);
    if (job == nullptr) return;
    if (*job == nullptr) violated("an accepted template without a job");
    if (hash_meets_target((*job)->share_target, (*job)->block_target)) violated("share target below block target");
    if ((*job)->is_dev != USER->is_dev) violated("the job's is_dev is not the client's");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto tmpl = nlohmann::json::parse(data, data + size, nullptr, false);
    if (tmpl.is_discarded()) return 0;
    const TemplateResult lenient = parse_with_policy(tmpl, true);
    const TemplateResult strict = parse_with_policy(tmpl, false);
    check_job(lenient);
    check_job(strict);

    const auto* lenient_error = std::get_if<TemplateError>(&lenient);
    const auto* strict_error = std::get_if<TemplateError>(&strict);
    if ((lenient_error == nullptr) != (strict_error == nullptr)) violated("the policy changed a content check");
    if (lenient_error != nullptr) {
        if (lenient_error->error.chain() != strict_error->error.chain())
            violated("the policy changed a content error");
        return 0;
    }
    if (std::holds_alternative<std::shared_ptr<const Job>>(strict) &&
        !std::holds_alternative<std::shared_ptr<const Job>>(lenient))
        violated("a job accepted only when signatures are required");
    return 0;
}
