#include <gtest/gtest.h>

#include "src/base/hex.hpp"
#include "src/pool/ed25519.hpp"
#include "src/pool/job_template.hpp"
#include "src/pool/pool_client.hpp"
#include "tests/support/ed25519_sign.hpp"
#include "tests/support/test_bytes.hpp"

using nlohmann::json;

namespace {

const std::string SHARE_TARGET = "00" + std::string(126, 'f');
const std::string BLOCK_TARGET = "0000" + std::string(124, 'f');
const std::string MINING_HASH = "ad763674ec79cfea8b8e1503fd9e1fffb8754f196def1adebde4133f2d7d37f5";

json unsigned_template() {
    return {{"nonce_prefix", "0a0b0c0d"},  {"share_target", SHARE_TARGET}, {"block_target", BLOCK_TARGET},
            {"job_id", "17#abc"},          {"mining_hash", MINING_HASH},   {"height", 42},
            {"share_difficulty", "12.5"},  {"net_difficulty", 1024}};
}

std::vector<std::uint8_t> message_for(const json& tmpl, const std::string& address) {
    return job_message(hex_bytes<32>(tmpl["mining_hash"].get<std::string>()),
                       hex_bytes<64>(tmpl["share_target"].get<std::string>()),
                       hex_bytes<64>(tmpl["block_target"].get<std::string>()),
                       hex_bytes<4>(tmpl["nonce_prefix"].get<std::string>()), tmpl["job_id"].get<std::string>(),
                       address);
}

std::string sign_for(const json& tmpl, const std::string& address) {
    return hex_encode(ed25519_sign(hex_bytes<32>(TEST_POOL_KEY_SEED_HEX), message_for(tmpl, address)));
}

json signed_template(const std::string& address) {
    json tmpl = unsigned_template();
    tmpl["sig"] = sign_for(tmpl, address);
    tmpl["sig_alg"] = "ed25519-ovik-qtc-job-v1";
    return tmpl;
}

struct UnsignedPolicy {
    explicit UnsignedPolicy(bool accept) : saved(ACCEPT_UNSIGNED_JOBS) { ACCEPT_UNSIGNED_JOBS = accept; }
    ~UnsignedPolicy() { ACCEPT_UNSIGNED_JOBS = saved; }
    bool saved;
};

const auto USER = pool_client_new("http://127.0.0.1:9", "qzUserAddress", "rig", std::chrono::seconds(1), false);
const auto DEV = pool_client_new("http://127.0.0.1:9", "qzDevAddress", "dev", std::chrono::seconds(1), true);

std::string outcome_text(const TemplateResult& result) {
    if (const auto* e = std::get_if<TemplateError>(&result)) return "template: " + e->error.chain();
    if (const auto* r = std::get_if<SignatureRefusal>(&result)) return "signature: " + r->text;
    return "accepted";
}

}  // namespace

TEST(ParseTemplate, BuildsTheJob) {
    const auto result = parse_template(unsigned_template(), *DEV);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const Job>>(result)) << outcome_text(result);
    const Job& job = *std::get<std::shared_ptr<const Job>>(result);
    EXPECT_EQ(job.job_id, "17#abc");
    EXPECT_EQ(job.height, 42u);
    EXPECT_EQ(job.share_difficulty, "12.5");
    EXPECT_EQ(job.net_difficulty, "1024");
    EXPECT_EQ(job.nonce_prefix, (NoncePrefix{0x0a, 0x0b, 0x0c, 0x0d}));
    EXPECT_EQ(hex_encode(job.mining_hash), MINING_HASH);
    EXPECT_EQ(hex_encode(job.share_target), SHARE_TARGET);
    EXPECT_EQ(hex_encode(job.block_target), BLOCK_TARGET);
    EXPECT_TRUE(job.is_dev);
}

TEST(ParseTemplate, ChecksEveryFieldInOrder) {
    struct Case {
        const char* what;
        std::function<void(json&)> edit;
        std::string outcome;
    };
    const std::string block_minus_one_last = BLOCK_TARGET.substr(0, 126) + "fe";
    const Case cases[] = {
        {"not an object", [](json& t) { t = json::array(); }, "template: champ nonce_prefix absent"},
        {"no nonce_prefix", [](json& t) { t.erase("nonce_prefix"); }, "template: champ nonce_prefix absent"},
        {"nonce_prefix a number", [](json& t) { t["nonce_prefix"] = 5; }, "template: champ nonce_prefix absent"},
        {"0x and upper case", [](json& t) { t["nonce_prefix"] = "0x0A0B0C0D"; }, "accepted"},
        {"0x twice", [](json& t) { t["nonce_prefix"] = "0x0x0a0b0c0d"; }, "accepted"},
        {"spaces around, not trimmed", [](json& t) { t["nonce_prefix"] = " 0a0b0c0d "; },
         "template: Invalid character ' ' at position 0"},
        {"one leading space: odd length first", [](json& t) { t["nonce_prefix"] = " 0a0b0c0d"; },
         "template: Odd number of digits"},
        {"odd digits", [](json& t) { t["nonce_prefix"] = "0a0b0c0"; }, "template: Odd number of digits"},
        {"3 bytes", [](json& t) { t["nonce_prefix"] = "0a0b0c"; }, "template: nonce_prefix: expected 4 bytes"},
        {"5 bytes", [](json& t) { t["nonce_prefix"] = "0a0b0c0d0e"; }, "template: nonce_prefix: expected 4 bytes"},
        {"no share_target", [](json& t) { t.erase("share_target"); }, "template: champ share_target absent"},
        {"short share_target", [](json& t) { t["share_target"] = "00ff"; },
         "template: expected 128 hex digits, got 4"},
        {"block_target null", [](json& t) { t["block_target"] = nullptr; }, "template: champ block_target absent"},
        {"block_target bad digit", [](json& t) { t["block_target"] = BLOCK_TARGET.substr(1).insert(0, 1, 'g'); },
         "template: Invalid character 'g' at position 0"},
        {"share below block", [&](json& t) { t["share_target"] = block_minus_one_last; t["block_target"] = BLOCK_TARGET; },
         "template: share_target < block_target"},
        {"equal targets", [](json& t) { t["share_target"] = BLOCK_TARGET; }, "accepted"},
        {"no job_id", [](json& t) { t.erase("job_id"); }, "template: champ job_id absent"},
        {"empty job_id", [](json& t) { t["job_id"] = ""; }, "accepted"},
        {"job_id of 1024 bytes", [](json& t) { t["job_id"] = std::string(1024, 'j'); }, "accepted"},
        {"job_id of 1025 bytes", [](json& t) { t["job_id"] = std::string(1025, 'j'); },
         "template: job_id: expected at most 1024 bytes, got 1025"},
        {"job_id of 1 MiB", [](json& t) { t["job_id"] = std::string(1 << 20, 'j'); },
         "template: job_id: expected at most 1024 bytes, got 1048576"},
        {"no mining_hash", [](json& t) { t.erase("mining_hash"); }, "template: champ mining_hash absent"},
        {"mining_hash of 62 digits", [](json& t) { t["mining_hash"] = MINING_HASH.substr(2); },
         "template: expected 64 hex digits, got 62"},
        {"mining_hash with spaces and 0x", [](json& t) { t["mining_hash"] = " 0x" + MINING_HASH + "\n"; }, "accepted"},
        {"first fault wins", [](json& t) { t.erase("job_id"); t["share_target"] = "1"; },
         "template: expected 128 hex digits, got 1"},
    };
    for (const Case& c : cases) {
        json tmpl = unsigned_template();
        c.edit(tmpl);
        EXPECT_EQ(outcome_text(parse_template(tmpl, *USER)), c.outcome) << c.what;
    }
}

TEST(ParseTemplate, OptionalFieldsNeverFail) {
    struct Case {
        json height;
        std::optional<std::uint64_t> expected;
    };
    for (const Case& c : {Case{0, 0}, Case{json(18446744073709551615ULL), UINT64_MAX}, Case{-1, std::nullopt},
                          Case{1.5, std::nullopt}, Case{"7", std::nullopt}, Case{nullptr, std::nullopt},
                          Case{7.0, std::nullopt}}) {
        json tmpl = unsigned_template();
        tmpl["height"] = c.height;
        const auto job = std::get<std::shared_ptr<const Job>>(parse_template(tmpl, *USER));
        EXPECT_EQ(job->height, c.expected) << c.height.dump();
    }
    json tmpl = unsigned_template();
    tmpl.erase("height");
    tmpl.erase("net_difficulty");
    tmpl["share_difficulty"] = json::parse(R"("\"quoted\"")");
    const auto job = std::get<std::shared_ptr<const Job>>(parse_template(tmpl, *USER));
    EXPECT_EQ(job->height, std::nullopt);
    EXPECT_EQ(job->net_difficulty, "");
    EXPECT_EQ(job->share_difficulty, "\\\"quoted\\");

    // Display texts: a job keeps what a line shows of them, however long they come.
    tmpl["share_difficulty"] = std::string(4 << 20, '9');
    tmpl["net_difficulty"] = std::string(200, '7');
    const auto cut = std::get<std::shared_ptr<const Job>>(parse_template(tmpl, *USER));
    EXPECT_EQ(cut->share_difficulty, std::string(200, '9') + "…[4194304 bytes in all]");
    EXPECT_EQ(cut->net_difficulty, std::string(200, '7'));
}

TEST(JobSignature, AcceptsOnlyTheOperatorsSignatureForThisSession) {
    const std::string good = signed_template("qzUserAddress")["sig"];
    struct Case {
        const char* what;
        std::function<void(json&)> edit;
        bool accept_unsigned;
        std::string outcome;
    };
    const Case cases[] = {
        {"valid", [](json&) {}, true, "accepted"},
        {"valid, unsigned refused", [](json&) {}, false, "accepted"},
        {"no sig_alg", [](json& t) { t.erase("sig_alg"); }, true, "accepted"},
        {"sig_alg not a string", [](json& t) { t["sig_alg"] = 1; }, true, "accepted"},
        {"tampered job id", [](json& t) { t["job_id"] = "18#abc"; }, true,
         "signature: signature does not verify with the OvikPool key"},
        {"same digits other case", [](json& t) { t["mining_hash"] = "AD763674EC79CFEA8B8E1503FD9E1FFFB8754F196DEF1ADEBDE4133F2D7D37F5"; },
         true, "accepted"},
        {"sig upper case", [&](json& t) {
             std::string s = good;
             for (char& ch : s) ch = static_cast<char>(std::toupper(ch));
             t["sig"] = s;
         }, true, "accepted"},
        {"sig null is unsigned", [](json& t) { t["sig"] = nullptr; }, true, "accepted"},
        {"sig null, unsigned refused", [](json& t) { t["sig"] = nullptr; }, false,
         "signature: job not signed (no 'sig' field) and --require-signed-jobs is set"},
        {"upper-case sig_alg", [](json& t) { t["sig_alg"] = "ED25519-OVIK-QTC-JOB-V1"; }, true,
         "signature: unknown signature scheme 'ED25519-OVIK-QTC-JOB-V1'"},
        {"126 digits", [&](json& t) { t["sig"] = good.substr(0, 126); }, true,
         "signature: signature does not verify with the OvikPool key"},
        {"130 digits", [&](json& t) { t["sig"] = good + "00"; }, true,
         "signature: signature does not verify with the OvikPool key"},
        {"0x prefix", [&](json& t) { t["sig"] = "0x" + good; }, true,
         "signature: signature does not verify with the OvikPool key"},
        {"not hex", [&](json& t) { t["sig"] = "zz" + good.substr(2); }, true,
         "signature: signature does not verify with the OvikPool key"},
    };
    for (const Case& c : cases) {
        UnsignedPolicy policy(c.accept_unsigned);
        json tmpl = signed_template("qzUserAddress");
        c.edit(tmpl);
        EXPECT_EQ(outcome_text(parse_template(tmpl, *USER)), c.outcome) << c.what;
    }
    UnsignedPolicy policy(false);
    EXPECT_EQ(outcome_text(parse_template(unsigned_template(), *USER)),
              "signature: job not signed (no 'sig' field) and --require-signed-jobs is set");
    // The dev-fee session signs another address, so the user's signature fails there.
    EXPECT_EQ(outcome_text(parse_template(signed_template("qzUserAddress"), *DEV)),
              "signature: signature does not verify with the OvikPool key");
    EXPECT_EQ(outcome_text(parse_template(signed_template("qzDevAddress"), *DEV)), "accepted");
}

// A build that keeps the placeholder key refuses every signed job before
// any verification, whatever signs it; unsigned jobs follow the policy.
TEST(JobSignature, ABuildWithoutAPoolKeyVerifiesNothing) {
    const json signed_job = signed_template("qzUserAddress");
    const auto message = message_for(signed_job, "qzUserAddress");
    const std::string no_key = "this build has no OvikPool key (OVIK_POOL_PUBLIC_KEY): no signature verifies";
    {
        UnsignedPolicy policy(true);
        EXPECT_EQ(verify_job_signature(signed_job, message, POOL_PUBLIC_KEY_PLACEHOLDER), no_key);
        EXPECT_EQ(verify_job_signature(signed_job, message, TEST_POOL_PUBLIC_KEY_HEX), std::nullopt);
        EXPECT_EQ(verify_job_signature(unsigned_template(), message, POOL_PUBLIC_KEY_PLACEHOLDER), std::nullopt);
    }
    UnsignedPolicy policy(false);
    EXPECT_EQ(verify_job_signature(signed_job, message, POOL_PUBLIC_KEY_PLACEHOLDER), no_key);
    EXPECT_EQ(verify_job_signature(unsigned_template(), message, POOL_PUBLIC_KEY_PLACEHOLDER),
              "job not signed (no 'sig' field) and --require-signed-jobs is set");
}

TEST(JobMessage, LaysOutTheSignedBytes) {
    const std::string job_id(300, 'j');
    const auto message = job_message(hex_bytes<32>(MINING_HASH), hex_bytes<64>(SHARE_TARGET),
                                     hex_bytes<64>(BLOCK_TARGET), {1, 2, 3, 4}, job_id, "qz");
    ASSERT_EQ(message.size(), 184u + 300 + 2);
    EXPECT_EQ(std::string(message.begin(), message.begin() + 16), std::string("ovik-qtc-job-v1\0", 16));
    EXPECT_EQ(hex_encode(std::span(message).subspan(16, 32)), MINING_HASH);
    EXPECT_EQ(hex_encode(std::span(message).subspan(48, 64)), SHARE_TARGET);
    EXPECT_EQ(hex_encode(std::span(message).subspan(112, 64)), BLOCK_TARGET);
    EXPECT_EQ(hex_encode(std::span(message).subspan(176, 4)), "01020304");
    EXPECT_EQ(hex_encode(std::span(message).subspan(180, 2)), "012c");
    EXPECT_EQ(hex_encode(std::span(message).subspan(482, 2)), "0002");
    EXPECT_EQ(std::string(message.end() - 2, message.end()), "qz");
}

TEST(Ed25519, Rfc8032TestVectorsOneToThree) {
    struct Vector {
        std::string_view secret, public_key, message, signature;
    };
    const Vector vectors[] = {
        {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
        {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
        {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    };
    for (const Vector& v : vectors) {
        const auto public_key = hex_bytes<32>(v.public_key);
        const auto message = hex_decode(v.message).value();
        auto signature = hex_bytes<64>(v.signature);
        EXPECT_EQ(hex_encode(ed25519_public_key(hex_bytes<32>(v.secret))), v.public_key);
        EXPECT_TRUE(ed25519_verify(public_key, message, signature)) << v.public_key;
        auto other = message;
        other.push_back(0);
        EXPECT_FALSE(ed25519_verify(public_key, other, signature));
        signature[63] ^= 0x10;  // S no longer the signer's (and possibly not canonical)
        EXPECT_FALSE(ed25519_verify(public_key, message, signature));
    }
    // A public key that is no curve point never verifies.
    std::array<std::uint8_t, 32> not_a_point{};
    not_a_point.fill(0xff);
    not_a_point[31] = 0x7f;
    EXPECT_FALSE(ed25519_verify(not_a_point, {}, hex_bytes<64>(vectors[0].signature)));
}
