#include <cstring>

#include "src/pool/job_template.hpp"

namespace {

constexpr char DOMAIN_TAG[16] = "ovik-qtc-job-v1";  // 15 characters and the terminating zero byte

// Writes bytes at a cursor into a buffer sized in advance.
class Writer {
public:
    explicit Writer(std::size_t size) : bytes_(size) {}
    void put(const void* data, std::size_t length) {
        std::memcpy(bytes_.data() + at_, data, length);
        at_ += length;
    }
    void put_with_length(std::string_view text) {
        const auto length = static_cast<std::uint16_t>(text.size());  // the low 16 bits
        const std::uint8_t be[2] = {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
        put(be, 2);
        put(text.data(), text.size());
    }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

}  // namespace

std::vector<std::uint8_t> job_message(const Bytes32& mining_hash, const Bytes64& share_target,
                                      const Bytes64& block_target, const NoncePrefix& nonce_prefix,
                                      std::string_view job_id, std::string_view address) {
    Writer message(184 + job_id.size() + address.size());
    message.put(DOMAIN_TAG, sizeof DOMAIN_TAG);
    message.put(mining_hash.data(), mining_hash.size());
    message.put(share_target.data(), share_target.size());
    message.put(block_target.data(), block_target.size());
    message.put(nonce_prefix.data(), nonce_prefix.size());
    message.put_with_length(job_id);
    message.put_with_length(address);
    return message.take();
}
