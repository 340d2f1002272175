#include <cstring>

#include "src/pool/job.hpp"

namespace {

constexpr char DOMAIN_TAG[16] = "ovik-qtc-job-v1";  // 15 characters and the terminating zero byte

void append_with_length(std::vector<std::uint8_t>& out, std::string_view bytes) {
    const auto length = static_cast<std::uint16_t>(bytes.size());  // the low 16 bits
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<std::uint8_t> job_message(const Bytes32& mining_hash, const Bytes64& share_target,
                                      const Bytes64& block_target, const NoncePrefix& nonce_prefix,
                                      std::string_view job_id, std::string_view address) {
    std::vector<std::uint8_t> message;
    message.reserve(184 + job_id.size() + address.size());
    message.insert(message.end(), DOMAIN_TAG, DOMAIN_TAG + sizeof DOMAIN_TAG);
    message.insert(message.end(), mining_hash.begin(), mining_hash.end());
    message.insert(message.end(), share_target.begin(), share_target.end());
    message.insert(message.end(), block_target.begin(), block_target.end());
    message.insert(message.end(), nonce_prefix.begin(), nonce_prefix.end());
    append_with_length(message, job_id);
    append_with_length(message, address);
    return message;
}
