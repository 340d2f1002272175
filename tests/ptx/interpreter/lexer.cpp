#include "tests/ptx/interpreter/lexer.hpp"

#include <string>

#include "tests/ptx/interpreter/error.hpp"

namespace ptx {
namespace {

bool word_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c == '%' || c == '.';
}
bool digit(char c) { return c >= '0' && c <= '9'; }
bool word_rest(char c) { return word_start(c) || digit(c); }

bool asm_boundary(std::string_view comment) {
    while (!comment.empty() && (comment.back() == ' ' || comment.back() == '\t' || comment.back() == '\r'))
        comment.remove_suffix(1);
    return comment == "// begin inline asm" || comment == "// end inline asm";
}

}  // namespace

std::vector<Token> tokenize(std::string_view text) {
    std::vector<Token> tokens;
    std::uint32_t line = 1;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '/') {
            const std::size_t start = i;
            while (i < n && text[i] != '\n') ++i;
            const std::string_view comment = text.substr(start, i - start);
            if (asm_boundary(comment)) tokens.push_back({Token::AsmBoundary, comment, line});
        } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            i += 2;
            while (i + 1 < n && !(text[i] == '*' && text[i + 1] == '/')) line += text[i++] == '\n';
            i += 2;
        } else if (word_start(c)) {
            const std::size_t start = i;
            while (i < n && word_rest(text[i])) ++i;
            tokens.push_back({Token::Word, text.substr(start, i - start), line});
        } else if (digit(c)) {
            const std::size_t start = i;
            while (i < n && (digit(text[i]) || (text[i] >= 'a' && text[i] <= 'z') || (text[i] >= 'A' && text[i] <= 'Z')))
                ++i;
            tokens.push_back({Token::Number, text.substr(start, i - start), line});
        } else if (c == '"') {
            const std::size_t start = i++;
            while (i < n && text[i] != '"' && text[i] != '\n') ++i;
            if (i == n || text[i] != '"') throw Error("PTX line " + std::to_string(line) + ": unterminated string");
            ++i;
            tokens.push_back({Token::String, text.substr(start, i - start), line});
        } else if (std::string_view(",;:[]{}()+-@!<>=|").find(c) != std::string_view::npos) {
            tokens.push_back({Token::Punct, text.substr(i, 1), line});
            ++i;
        } else {
            throw Error("PTX line " + std::to_string(line) + ": unexpected character '" + std::string(1, c) + "'");
        }
    }
    tokens.push_back({Token::End, {}, line});
    return tokens;
}

}  // namespace ptx
