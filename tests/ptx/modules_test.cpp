// The PTX of every kernel module build, run in the interpreter through the
// real host layer and checked against the host hash; then the same checks
// against copies of that PTX with one instruction deliberately edited,
// each of which they must catch.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ptx/interpreter/error.hpp"
#include "tests/ptx/module_cases.hpp"
#include "tests/ptx/ptx_builds.hpp"
#include "tests/ptx/rare_corrections.hpp"
#include "tests/support/std_regex.hpp"

namespace {

using ptx_cases::Problems;
using ptx_cases::Rig;

std::string listed(const Problems& problems) {
    std::string text;
    for (const std::string& p : problems) text += "\n  " + p;
    return text;
}

class ModulePtx : public testing::TestWithParam<PtxBuild> {
protected:
    std::string ptx() const { return read_ptx(GetParam().ptx_path); }
    Rig rig(std::uint32_t cap = 64) const { return Rig(ptx(), GetParam().module, cap); }
};

#define EXPECT_NO_PROBLEMS(problems)                   \
    do {                                               \
        const Problems found_ = (problems);            \
        EXPECT_TRUE(found_.empty()) << listed(found_); \
    } while (0)

TEST_P(ModulePtx, DeclaresTheArchitectureItIsBuiltFor) {
    const Rig r = rig();
    EXPECT_EQ(r.module.program().target, "sm_" + std::to_string(GetParam().cc));
}

TEST_P(ModulePtx, JobUploadGivesTheHostMidstateAndStartState) {
    Rig r = rig();
    EXPECT_NO_PROBLEMS(ptx_cases::job_upload(r));
}

TEST_P(ModulePtx, CraftedMidstatesGiveTheHostsStartStateAndHash) {
    Rig r = rig();
    EXPECT_NO_PROBLEMS(ptx_cases::crafted_midstates(r));
}

TEST_P(ModulePtx, HashFullGivesEveryInputsHashAndNothingPastN) {
    Rig r = rig();
    EXPECT_NO_PROBLEMS(ptx_cases::hash_full(r));
}

TEST_P(ModulePtx, CheckGivesTheFirstHalfOfEachHashAndNothingPastN) {
    Rig r = rig();
    EXPECT_NO_PROBLEMS(ptx_cases::check_first_halves(r));
}

TEST_P(ModulePtx, MiningFindsExactlyTheCountersBelowTheTarget) {
    Rig r = rig();
    for (std::string_view batch : ptx_cases::mining_batch_names()) {
        SCOPED_TRACE(batch);
        EXPECT_NO_PROBLEMS(ptx_cases::mining_batch(r, batch));
    }
}

TEST_P(ModulePtx, TargetIsComparedStrictlyOverAllSixtyFourBytes) {
    Rig r = rig();
    EXPECT_NO_PROBLEMS(ptx_cases::strict_over_sixty_four_bytes(r));
}

TEST_P(ModulePtx, CountGoesOnPastTheCapacityWhileTheListStops) {
    Rig r = rig(5);
    EXPECT_NO_PROBLEMS(ptx_cases::capacity(r));
}

TEST_P(ModulePtx, ThreadIndicesNearTwoToThe32TakeTheirOwnCounters) {
    Rig r = rig();
    EXPECT_NO_PROBLEMS(ptx_cases::thread_index_near_the_top(r));
}

INSTANTIATE_TEST_SUITE_P(Builds, ModulePtx, testing::ValuesIn(ptx_builds().begin(), ptx_builds().end()),
                         [](const auto& test) { return build_name(test.param); });

// ---- deliberate one-instruction edits ----------------------------------------

struct Edit {
    const char* name;
    const char* pattern;  // the instruction to edit, in k_mine<false>
    bool last;            // its last occurrence, else its first
    const char* from;
    const char* to;
    const char* caught_by;  // a mining batch, or "capacity"
};

// Each edit hits an instruction the mining kernel executes on every hash:
// the first square's top-word carry, the first product reduction's borrow,
// the first qp6 reduction's carry into its high half, the byte swap of the
// counter's upper half, the candidate counter's increment, and the final
// test "below the target" (the comparison's result -1, 0 or 1 against -1).
void PrintTo(const Edit& e, std::ostream* os) { *os << e.name; }

constexpr Edit EDITS[] = {
    {"madc_into_mad", R"(madc\.hi\.u32\s+%r\d+, %r\d+, %r\d+, c2;)", false, "madc.hi.u32", "mad.hi.u32", "found"},
    {"subc_cc_into_sub_cc", R"(subc\.cc\.u32\s)", false, "subc.cc.u32", "sub.cc.u32", "found"},
    {"madc_hi_cc_into_mad_hi_cc", R"(madc\.hi\.cc\.u32\s)", false, "madc.hi.cc.u32", "mad.hi.cc.u32", "found"},
    {"prmt_selector_changed", R"(prmt\.b32\s+%r\d+, %r\d+, 0, 0x0123;)", false, "0x0123", "0x0132", "high halves"},
    {"atomic_increment_changed", R"(atom\.global\.add\.u32\s+%r\d+, \[%rd\d+\], 1;)", false, "], 1;", "], 2;",
     "capacity"},
    {"strict_comparison_made_non_strict", R"(setp\.gt\.s32\s+%p\d+, %r\d+, -1;)", true, ", -1;", ", 0;",
     "not found"},
};

// The PTX with the edit made on its line inside the mining kernel, and a
// description of the change; nothing when the line is not there.
std::optional<std::pair<std::string, std::string>> edited(const std::string& ptx, const Edit& edit) {
    std::vector<std::string> lines;
    std::istringstream in(ptx);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::size_t begin = lines.size(), end = lines.size();
    const std::regex entry(R"(^\.visible \.entry (\S+)\()");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        if (begin == lines.size() && std::regex_search(lines[i], m, entry) &&
            ptx_host::role_of(m[1].str()) == ptx_host::KernelRole::Mine)
            begin = i;
        else if (begin != lines.size() && lines[i] == "}") {
            end = i;
            break;
        }
    }
    const std::regex target(edit.pattern);
    std::optional<std::size_t> at;
    for (std::size_t i = begin; i < end; ++i)
        if (std::regex_search(lines[i], target)) {
            at = i;
            if (!edit.last) break;
        }
    if (!at) return std::nullopt;
    std::string& line = lines[*at];
    const std::string before = line;
    line.replace(line.find(edit.from), std::string_view(edit.from).size(), edit.to);
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return std::pair{text, "line " + std::to_string(*at + 1) + ": `" + before + "` became `" + line + "`"};
}

class EditedModulePtx : public testing::TestWithParam<std::tuple<PtxBuild, Edit>> {};

TEST_P(EditedModulePtx, IsCaught) {
    const auto& [build, edit] = GetParam();
    const auto changed = edited(read_ptx(build.ptx_path), edit);
    ASSERT_TRUE(changed) << "no instruction matches " << edit.pattern << " in k_mine<false>";
    SCOPED_TRACE(changed->second);
    const bool capacity = std::string_view(edit.caught_by) == "capacity";
    Rig r(changed->first, build.module, capacity ? 5 : 64);
    const Problems problems = capacity ? ptx_cases::capacity(r) : ptx_cases::mining_batch(r, edit.caught_by);
    EXPECT_FALSE(problems.empty()) << "the edit passed the check \"" << edit.caught_by << "\"";
}

INSTANTIATE_TEST_SUITE_P(Builds, EditedModulePtx,
                         testing::Combine(testing::ValuesIn(ptx_builds().begin(), ptx_builds().end()),
                                          testing::ValuesIn(EDITS)),
                         [](const auto& test) {
                             return build_name(std::get<0>(test.param)) + "_" + std::get<1>(test.param).name;
                         });

// ---- the rare corrections cut out -----------------------------------------

// Each module's PTX holds the qp6 reduction's second carry and its own
// product reduction's final borrow; with either cut out (every occurrence,
// in every kernel), the crafted midstates tell the PTX from the host. The
// other checks run hash data, which takes these corrections about once in
// 2^31 reductions: they pass such a copy.
class CutModulePtx : public testing::TestWithParam<PtxBuild> {};

TEST_P(CutModulePtx, EveryRareCorrectionCutOutIsCaught) {
    const std::string text = read_ptx(GetParam().ptx_path);
    int held = 0;
    for (const ptx_corrections::Correction& c : ptx_corrections::rare_corrections()) {
        const ptx_corrections::Cut cut = ptx_corrections::cut_out(text, c);
        if (cut.lines == 0) continue;
        ++held;
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(cut.lines) + " lines cut");
        Rig r(cut.text, GetParam().module);
        const Problems problems = ptx_cases::crafted_midstates(r);
        EXPECT_FALSE(problems.empty()) << "the cut passed the crafted midstates";
        RecordProperty(c.name, problems.empty() ? "passed" : listed(problems));
    }
    EXPECT_EQ(held, 2) << "the qp6 reduction's correction and one product reduction's, as number_forms.hpp writes them";
}

INSTANTIATE_TEST_SUITE_P(Builds, CutModulePtx, testing::ValuesIn(ptx_builds().begin(), ptx_builds().end()),
                         [](const auto& test) { return build_name(test.param); });

}  // namespace
