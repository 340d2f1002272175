// The constant symbols of a kernel module in declaration order, with their
// initial values: the knob words, the host's round constant and diagonal
// tables, then the job's target and start state. Included inside the
// module's namespace, after cuda/kernels/module_constant.hpp; no include
// guard.

// Knob words: ε for the reductions, read from constant memory so that the
// code generator cannot fold it into an immediate. Which of them a module
// reads depends on its reductions; gl32::Wk is read by none.
namespace gl32 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
namespace gl32v7 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
namespace gl32v10 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
namespace qp6 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}

QTC_MODULE_CONSTANT(std::uint64_t, QP_RC_INT, 22,
    0x97f7798a784ad863ULL, 0xd1d2bf082f60d4f0ULL, 0x69a377a79f9ad206ULL, 0xa9d06906a3858e24ULL,
    0x295275001eede5b5ULL, 0x5874e441117bd746ULL, 0x8a084bbba8ed86ccULL, 0x3defd7645cde6425ULL,
    0x3998cfe6871cc137ULL, 0x3e52ef8bca48314aULL, 0x964a209f85dc9eccULL, 0x3fcc9ee82cc4577eULL,
    0x8e79b4a5d0096d6dULL, 0x8492362ad2392556ULL, 0xee72f470262574d6ULL, 0x1e0e18496da2444aULL,
    0x0f3a74bf215eaac6ULL, 0x1b061b76a1c0ded3ULL, 0x192c42d86803d7a6ULL, 0xf6d49ff997ae0260ULL,
    0x3ec372e7a0fa3786ULL, 0x5538cdf4f23445d3ULL);

QTC_MODULE_CONSTANT(std::uint64_t, QP_RC_EXT_INIT, 48,
    0xc002e770975b1607ULL, 0xbca51a8dfe14593aULL, 0x72938dfbe774f7f9ULL, 0xe4f2fe29e03234acULL,
    0xd5e0ba2f541b6449ULL, 0xec33b868f3cc46c1ULL, 0x486dcb55419d475aULL, 0x6c1cb2a358cc24f1ULL,
    0xe3f30d509a1436bbULL, 0xd9a64f068dca7c29ULL, 0xe59b3f57aabba1aeULL, 0x2a3dd4505b478fdcULL,
    0xada1f8dc7676ed25ULL, 0x2711aa8b5509d516ULL, 0x4ae6acd0c9c92897ULL, 0x56eb3d6b5256d67aULL,
    0x1f7a9d55923bf51eULL, 0x3600427d397a7f68ULL, 0xe5076df75b72c3d0ULL, 0xfcd59aa12c6090adULL,
    0xcd895e8c68b57a9eULL, 0x41df7ef9d730ae3eULL, 0xee3e2b889abe977dULL, 0xd29bb7edbeb9c405ULL,
    0x7d5c08eef608e382ULL, 0x89ae889caaf0802cULL, 0xb35a8e976d2af617ULL, 0xdb14234eafaf5173ULL,
    0x78f04462d48b1c98ULL, 0x265293b0e47ce88aULL, 0x999a649b69b9d32fULL, 0x64b0a186698e01d3ULL,
    0xee0b22d0dfae8bb8ULL, 0x4fd53e50ca04a7eeULL, 0x5762bfe181f25047ULL, 0xf51593e2beb5e3bdULL,
    0x1e5e2b5760e32477ULL, 0x622462a1f9aaaeedULL, 0xaa284b3ecdb222aeULL, 0x63c8e72f542bf3fcULL,
    0x3ba588cacb43b5e0ULL, 0x23eda6f3c99150ddULL, 0xaad3bea4baac9a5aULL, 0xe9da8d699b94184aULL,
    0xcdb13f4cd93e024cULL, 0x902cbd0956f655e3ULL, 0x5b4e40ffc759532fULL, 0xde795c20a2357af7ULL);

QTC_MODULE_CONSTANT(std::uint64_t, QP_RC_EXT_TERM, 48,
    0x7b72c539e0ea4c6eULL, 0x144573dae2ce9976ULL, 0x802028b68f35fc88ULL, 0x6d36c5022c4fe7c2ULL,
    0xa205d0ffa9b9def3ULL, 0xf6e7e38b1ea6ba2fULL, 0x34f7909ae5258d64ULL, 0xb0464d9d77b97fcaULL,
    0x64ddb9d5de7e00a6ULL, 0x0ed0d75c27975d97ULL, 0x1cbb36f11127338bULL, 0x6673e505cfd0b6baULL,
    0x605f902830872e01ULL, 0x3fd5eb927e95fe4fULL, 0xe81025b5a24c69cdULL, 0xf7d0ce75de23f74eULL,
    0xf39942b6a8585089ULL, 0x6d808a08f7b71df6ULL, 0xf8806b6588f49a8bULL, 0x57df2d8c2a32107aULL,
    0x16e7c2074d654a2dULL, 0x213de241fcf33835ULL, 0xb0f2b8905a0976f6ULL, 0xd8e3cf2bbd355417ULL,
    0xe498691679d9330fULL, 0x763b45d2a3821b28ULL, 0x0908bf65eb0a1f0dULL, 0x7691eb2d194b24f4ULL,
    0x0e43551233ae13b2ULL, 0x93c393dbfc2fe76fULL, 0x98f607485d48cdeaULL, 0xe3d95f30309819c0ULL,
    0x1ef581a93eaf6acfULL, 0x0b24c1b7a030fca4ULL, 0x624370be5670b327ULL, 0x5f1e28615a11e486ULL,
    0xfe04051f909e042bULL, 0x7257e5b147fd3803ULL, 0xe6ae134bb82f2e78ULL, 0x5711fd5cf4784511ULL,
    0xf83a42660c08c0bcULL, 0x2cd8c96d9a3ce855ULL, 0x7d2ffb1bb0e17271ULL, 0x85ae1528caea3811ULL,
    0x52a345d5c7adb0b8ULL, 0x504c4c51f3faee94ULL, 0xbce34a649cfccaf9ULL, 0xe0a3389266fb6dc9ULL);

QTC_MODULE_CONSTANT(std::uint64_t, QP_DIAG, 12,
    0xc3b6c08e23ba9300ULL, 0xd84b5de94a324fb6ULL, 0x0d0c371c5b35b84fULL, 0x7964f570e7188037ULL,
    0x5daf18bbd996604bULL, 0x6743bc47b9595257ULL, 0x5528b9362c59bb70ULL, 0xac45e25b7127b68bULL,
    0xa2077d7dfbb606b5ULL, 0xf3faac6faee378aeULL, 0x0c6388b51545e883ULL, 0xd27dbb6944917b60ULL);

QTC_CONSTANT(std::uint8_t, c_tgt, 64);
QTC_CONSTANT(std::uint64_t, c_mm, 12);

