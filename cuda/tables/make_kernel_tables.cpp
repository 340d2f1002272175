// Writes the kernels' constant tables. First folded_constants.hpp, the three
// constant tables of the kernels that merge each round's constants into the
// previous round's last multiplication:
//
//   QP_RC_INT_NEXT[i]  = QP_RC_INT[i + 1], the last entry 0;
//   QP_FOLD_INIT[r]    = M_E^-1 * QP_RC_EXT_INIT[r + 1] for r = 0, 1, 2, row 3 zero;
//   QP_FOLD_TERM[r]    = M_E^-1 * QP_RC_EXT_TERM[r + 1] for r = 0, 1, 2, row 3 zero;
//
// M_E being the 12 x 12 matrix of external_linear_layer. Adding M_E^-1 * c
// before the layer leaves the same residues as adding c after it.
//
// M_E^-1 comes from Gauss-Jordan elimination over the field, inverses by
// Fermat (x^(p-2)). The program checks M_E * M_E^-1 = I and M_E * fold row =
// the next table row before it writes anything, and exits non-zero (leaving
// no header) when a check fails.
//
// Then folded_tables.cuh, the same three tables as the constant symbols of a
// kernel module (QTC_MODULE_CONSTANT lines, the external tables flattened row
// by row), and host_tables.cuh, the host's QP_RC_INT, QP_RC_EXT_INIT,
// QP_RC_EXT_TERM and QP_DIAG as constant symbols in the same form, for the
// modules' kernels.cu to include.
//
// Usage: make_kernel_tables FOLDED_HEADER FOLDED_CUH HOST_CUH

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "poseidon2-core/src/constants.hpp"
#include "poseidon2-core/src/field.hpp"

namespace {

using poseidon2::EXTERNAL_ROUNDS;
using poseidon2::GOLDILOCKS_P;
using poseidon2::INTERNAL_ROUNDS;
using poseidon2::WIDTH;

using Matrix = std::uint64_t[WIDTH][WIDTH];
using Table = std::uint64_t[EXTERNAL_ROUNDS][WIDTH];

// Canonical field operations on top of the host arithmetic.
std::uint64_t add(std::uint64_t a, std::uint64_t b) { return poseidon2::gl_canonical(poseidon2::gl_add(a, b)); }
std::uint64_t mul(std::uint64_t a, std::uint64_t b) { return poseidon2::gl_canonical(poseidon2::gl_mul(a, b)); }
std::uint64_t neg(std::uint64_t a) {
    a = poseidon2::gl_canonical(a);
    return a == 0 ? 0 : GOLDILOCKS_P - a;
}
std::uint64_t sub(std::uint64_t a, std::uint64_t b) { return add(a, neg(b)); }

std::uint64_t power(std::uint64_t base, std::uint64_t exponent) {
    std::uint64_t result = 1;
    for (; exponent != 0; exponent >>= 1) {
        if (exponent & 1) result = mul(result, base);
        base = mul(base, base);
    }
    return result;
}

// The multiplicative group has order p - 1, so x^(p-2) * x = 1 for x != 0.
std::uint64_t inverse(std::uint64_t x) { return power(x, GOLDILOCKS_P - 2); }

// external_linear_layer as a matrix: the mix4 circulant [2, 3, 1, 1] in every
// 4 x 4 block, doubled on the diagonal blocks (y_i + s_(i mod 4) counts the
// element's own chunk twice).
void external_matrix(Matrix& m) {
    constexpr std::uint64_t MIX4[4][4] = {{2, 3, 1, 1}, {1, 2, 3, 1}, {1, 1, 2, 3}, {3, 1, 1, 2}};
    for (std::size_t i = 0; i < WIDTH; ++i)
        for (std::size_t j = 0; j < WIDTH; ++j) m[i][j] = MIX4[i % 4][j % 4] * (i / 4 == j / 4 ? 2 : 1);
}

// Gauss-Jordan elimination on [a | I]; false when a is singular.
bool invert(const Matrix& a, Matrix& inv) {
    Matrix work;
    for (std::size_t i = 0; i < WIDTH; ++i)
        for (std::size_t j = 0; j < WIDTH; ++j) {
            work[i][j] = poseidon2::gl_canonical(a[i][j]);
            inv[i][j] = i == j ? 1 : 0;
        }
    for (std::size_t col = 0; col < WIDTH; ++col) {
        std::size_t pivot = col;
        while (pivot < WIDTH && work[pivot][col] == 0) ++pivot;
        if (pivot == WIDTH) return false;
        for (std::size_t j = 0; j < WIDTH; ++j) {
            std::swap(work[col][j], work[pivot][j]);
            std::swap(inv[col][j], inv[pivot][j]);
        }
        const std::uint64_t scale = inverse(work[col][col]);
        for (std::size_t j = 0; j < WIDTH; ++j) {
            work[col][j] = mul(work[col][j], scale);
            inv[col][j] = mul(inv[col][j], scale);
        }
        for (std::size_t row = 0; row < WIDTH; ++row) {
            if (row == col || work[row][col] == 0) continue;
            const std::uint64_t factor = work[row][col];
            for (std::size_t j = 0; j < WIDTH; ++j) {
                work[row][j] = sub(work[row][j], mul(factor, work[col][j]));
                inv[row][j] = sub(inv[row][j], mul(factor, inv[col][j]));
            }
        }
    }
    return true;
}

void apply(const Matrix& m, const std::uint64_t (&x)[WIDTH], std::uint64_t (&y)[WIDTH]) {
    for (std::size_t i = 0; i < WIDTH; ++i) {
        y[i] = 0;
        for (std::size_t j = 0; j < WIDTH; ++j) y[i] = add(y[i], mul(m[i][j], x[j]));
    }
}

// Row r of `fold` = inv * row r + 1 of `table`; the last row zero. False when
// M_E * a row does not give back the table's row.
bool fold_table(const Matrix& m, const Matrix& inv, const Table& table, Table& fold) {
    for (std::size_t r = 0; r + 1 < EXTERNAL_ROUNDS; ++r) {
        apply(inv, table[r + 1], fold[r]);
        std::uint64_t back[WIDTH];
        apply(m, fold[r], back);
        for (std::size_t i = 0; i < WIDTH; ++i)
            if (back[i] != table[r + 1][i]) return false;
    }
    for (std::uint64_t& v : fold[EXTERNAL_ROUNDS - 1]) v = 0;
    return true;
}

std::string hex(std::uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llxULL", static_cast<unsigned long long>(v));
    return buf;
}

// Four words a line; `indent` starts every line but the first.
void write_row(std::ostream& out, const std::uint64_t* row, std::size_t n, const char* indent) {
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 4 == 0 && i != 0) out << '\n' << indent;
        else if (i != 0) out << ' ';
        out << hex(row[i]) << (i + 1 < n ? "," : "");
    }
}

void write_table(std::ostream& out, const char* name, const Table& t) {
    out << "inline constexpr std::uint64_t " << name << "[" << EXTERNAL_ROUNDS << "][" << WIDTH << "] = {\n";
    for (const auto& row : t) {
        out << "    {";
        write_row(out, row, WIDTH, "     ");
        out << "},\n";
    }
    out << "};\n";
}

void write_module_table(std::ostream& out, const char* name, const std::uint64_t* words, std::size_t n) {
    out << "QTC_MODULE_CONSTANT(std::uint64_t, " << name << ", " << n << ",\n    ";
    write_row(out, words, n, "    ");
    out << ");\n";
}

// The host's tables as the constant symbols of a kernel module, in the
// order the modules declare them.
void write_host_tables(std::ostream& out) {
    out << "// Generated by make_kernel_tables from poseidon2-core/src/constants.hpp; do\n"
           "// not edit. The host's round constant and diagonal tables as constant\n"
           "// symbols of a kernel module, the external tables row by row. Included\n"
           "// inside the module's namespace (or at global scope), after\n"
           "// cuda/kernels/module_constant.hpp; no include guard.\n\n";
    write_module_table(out, "QP_RC_INT", poseidon2::QP_RC_INT, INTERNAL_ROUNDS);
    out << '\n';
    write_module_table(out, "QP_RC_EXT_INIT", &poseidon2::QP_RC_EXT_INIT[0][0], EXTERNAL_ROUNDS * WIDTH);
    out << '\n';
    write_module_table(out, "QP_RC_EXT_TERM", &poseidon2::QP_RC_EXT_TERM[0][0], EXTERNAL_ROUNDS * WIDTH);
    out << '\n';
    write_module_table(out, "QP_DIAG", poseidon2::QP_DIAG, WIDTH);
}

// Writes `path` through a file beside it and a rename, so that an
// interrupted run never leaves a half file that the build would take as up
// to date. False, with a message, on failure.
template <typename Writer>
bool write_file(const std::filesystem::path& path, Writer write) {
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    std::filesystem::path partial = path;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::trunc);
        write(out);
        out.close();
        if (!out) {
            std::fprintf(stderr, "make_kernel_tables: cannot write %s\n", partial.c_str());
            return false;
        }
    }
    std::filesystem::rename(partial, path, ec);
    if (ec) {
        std::fprintf(stderr, "make_kernel_tables: cannot rename to %s: %s\n", path.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FOLDED_HEADER FOLDED_CUH HOST_CUH\n", argv[0]);
        return 2;
    }
    const std::filesystem::path header = argv[1];
    const std::filesystem::path module_tables = argv[2];
    const std::filesystem::path host_tables = argv[3];

    Matrix m, inv;
    external_matrix(m);
    if (!invert(m, inv)) {
        std::fprintf(stderr, "make_kernel_tables: the external matrix is singular\n");
        return 1;
    }
    for (std::size_t i = 0; i < WIDTH; ++i)
        for (std::size_t j = 0; j < WIDTH; ++j) {
            std::uint64_t e = 0;
            for (std::size_t k = 0; k < WIDTH; ++k) e = add(e, mul(m[i][k], inv[k][j]));
            if (e != (i == j ? 1u : 0u)) {
                std::fprintf(stderr, "make_kernel_tables: M_E * M_E^-1 is not the identity\n");
                return 1;
            }
        }

    Table fold_init, fold_term;
    if (!fold_table(m, inv, poseidon2::QP_RC_EXT_INIT, fold_init) ||
        !fold_table(m, inv, poseidon2::QP_RC_EXT_TERM, fold_term)) {
        std::fprintf(stderr, "make_kernel_tables: M_E * fold row differs from the next round's constants\n");
        return 1;
    }
    std::uint64_t rc_int_next[INTERNAL_ROUNDS];
    for (std::size_t i = 0; i + 1 < INTERNAL_ROUNDS; ++i) rc_int_next[i] = poseidon2::QP_RC_INT[i + 1];
    rc_int_next[INTERNAL_ROUNDS - 1] = 0;

    const bool header_written = write_file(header, [&](std::ostream& out) {
        out << "// Generated by make_kernel_tables from poseidon2-core/src/constants.hpp;\n"
               "// do not edit. Every entry is canonical (below p).\n"
               "//\n"
               "// QP_RC_INT_NEXT[i] = QP_RC_INT[i + 1], entry 21 zero: the internal constant\n"
               "// of the next round, added to element 0 in this round's last multiplication.\n"
               "// QP_FOLD_INIT[r], QP_FOLD_TERM[r] = M_E^-1 * row r + 1 of QP_RC_EXT_INIT,\n"
               "// QP_RC_EXT_TERM (M_E the matrix of external_linear_layer), row 3 zero:\n"
               "// added before the layer, they leave the next round's constants after it.\n"
               "#pragma once\n\n"
               "#include <cstdint>\n\n"
               "namespace poseidon2::folded {\n\n";
        out << "inline constexpr std::uint64_t QP_RC_INT_NEXT[" << INTERNAL_ROUNDS << "] = {\n    ";
        write_row(out, rc_int_next, INTERNAL_ROUNDS, "    ");
        out << "\n};\n\n";
        write_table(out, "QP_FOLD_INIT", fold_init);
        out << '\n';
        write_table(out, "QP_FOLD_TERM", fold_term);
        out << "\n}  // namespace poseidon2::folded\n";
    });
    const bool module_tables_written = header_written && write_file(module_tables, [&](std::ostream& out) {
        out << "// Generated by make_kernel_tables; do not edit. The folded tables of\n"
               "// folded_constants.hpp as constant symbols of a kernel module, the external\n"
               "// tables row by row. Included inside the module's namespace, after\n"
               "// cuda/kernels/module_constant.hpp; no include guard.\n\n";
        write_module_table(out, "QP_RC_INT_NEXT", rc_int_next, INTERNAL_ROUNDS);
        out << '\n';
        write_module_table(out, "QP_FOLD_INIT", &fold_init[0][0], EXTERNAL_ROUNDS * WIDTH);
        out << '\n';
        write_module_table(out, "QP_FOLD_TERM", &fold_term[0][0], EXTERNAL_ROUNDS * WIDTH);
    });
    return module_tables_written && write_file(host_tables, write_host_tables) ? 0 : 1;
}
