#include "kernel/compiler/lexer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

struct lexed {
  krvk_source_map map;
  std::vector<krvk_token> tokens;
};

lexed lex(std::string_view text, const std::string& name = "main.k") {
  lexed out;
  krvk_lexer lexer{&out.map, &out.tokens};
  krvk_lex(lexer, text, name);
  return out;
}

kerror lex_error(std::string_view text, const std::string& name = "main.k") {
  try {
    lex(text, name);
  } catch (const kerror& error) {
    return error;
  }
  ADD_FAILURE() << "no diagnostic for: " << text;
  return {};
}

std::vector<std::string> texts(const std::vector<krvk_token>& tokens) {
  std::vector<std::string> out;
  for (const krvk_token& token : tokens) out.push_back(token.text);
  return out;
}

struct failure_case {
  std::string source;
  std::string message;
  uint32_t line;
  uint32_t column;
  std::string quoted_line;
};

TEST(KernelLexer, EveryLexicalFaultHasItsMessageAndPosition) {
  const failure_case cases[] = {
      {"x\n  /* open", "unterminated comment", 2, 3, "  /* open"},
      {"/*/", "unterminated comment", 1, 1, "/*/"},
      {"a = b @ c;", "unexpected character '@'", 1, 7, "a = b @ c;"},
      {"a $", "unexpected character '$'", 1, 3, "a $"},
      {std::string("a\0b", 3), std::string("unexpected character '\0'", 24), 1, 2, std::string("a\0b", 3)},
      {"x \xc3\xa9", "unexpected character '\xc3'", 1, 3, "x \xc3\xa9"},
      {"x; #line 4", "unexpected character '#'", 1, 4, "x; #line 4"},
      {"/* c */ #line 4", "unexpected character '#'", 1, 9, "/* c */ #line 4"},
      {"/*\n*/ #line 4", "unexpected character '#'", 2, 4, "*/ #line 4"},
      {"#pragma once", "unknown directive '#pragma' (kernel code only knows #line)", 1, 1, "#pragma once"},
      {"  #", "unknown directive '#' (kernel code only knows #line)", 1, 3, "  #"},
      {"#line10", "unknown directive '#line10' (kernel code only knows #line)", 1, 1, "#line10"},
      {"#line", "invalid #line directive", 1, 1, "#line"},
      {"#line 0", "invalid #line directive", 1, 1, "#line 0"},
      {"#line -2", "invalid #line directive", 1, 1, "#line -2"},
      {"#line x", "invalid #line directive", 1, 1, "#line x"},
      {"#line 9223372036854775808", "invalid #line directive", 1, 1, "#line 9223372036854775808"},
      {"\n #line 5 \"lib.k", "invalid #line directive", 2, 2, " #line 5 \"lib.k"},
      {"#line 4294967296", "invalid #line directive: the line number must be at most 4294967295", 1, 1,
       "#line 4294967296"},
      {"#line 9223372036854775807", "invalid #line directive: the line number must be at most 4294967295", 1, 1,
       "#line 9223372036854775807"},
      {"x = 18446744073709551616;", "integer literal does not fit into 64 bit", 1, 5, "x = 18446744073709551616;"},
      {"0x1FFFFFFFFFFFFFFFF", "integer literal does not fit into 64 bit", 1, 1, "0x1FFFFFFFFFFFFFFFF"},
      {"99999999999999999999f", "integer literal does not fit into 64 bit", 1, 1, "99999999999999999999f"},
      {"0x", "invalid number", 1, 1, "0x"},
      {"a 0xg", "invalid number", 1, 3, "a 0xg"},
      {"0b", "invalid number", 1, 1, "0b"},
      {"0o;", "invalid number", 1, 1, "0o;"},
      {"0b2", "invalid number", 1, 1, "0b2"},
      {"0b102", "invalid suffix on number '0b102'", 1, 1, "0b102"},
      {"0o178", "invalid suffix on number '0o178'", 1, 1, "0o178"},
      {"1.5u", "invalid suffix on number '1.5u'", 1, 1, "1.5u"},
      {"10ul", "invalid suffix on number '10ul'", 1, 1, "10ul"},
      {"1e", "invalid suffix on number '1e'", 1, 1, "1e"},
      {"1e+", "invalid suffix on number '1e'", 1, 1, "1e+"},
      {"0b1f", "invalid suffix on number '0b1f'", 1, 1, "0b1f"},
      {"2.5f_", "invalid suffix on number '2.5f_'", 1, 1, "2.5f_"},
      {"12abc", "invalid suffix on number '12a'", 1, 1, "12abc"},
  };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.source);
    kerror error = lex_error(c.source);
    EXPECT_EQ(error.message, c.message);
    EXPECT_EQ(error.line, c.line);
    EXPECT_EQ(error.column, c.column);
    EXPECT_EQ(error.file, "main.k");
    EXPECT_EQ(error.source_line, c.quoted_line);
  }
}

TEST(KernelLexer, EmptySourceHasOneEndTokenAndOneLine) {
  lexed out = lex("");
  ASSERT_EQ(out.tokens.size(), 1u);
  EXPECT_EQ(out.tokens[0].kind, KRVK_TOKEN_END);
  EXPECT_EQ(out.tokens[0].text, "end of kernel source");
  EXPECT_EQ(out.tokens[0].line, 1u);
  EXPECT_EQ(out.tokens[0].column, 1u);
  EXPECT_EQ(out.map.source_lines, std::vector<std::string>{""});
  EXPECT_EQ(out.map.file_names, std::vector<std::string>{"main.k"});
}

TEST(KernelLexer, TrailingLineFeedAddsAnEmptyLastLineHoldingTheEndToken) {
  lexed out = lex("a\nbc\n");
  EXPECT_EQ(out.map.source_lines, (std::vector<std::string>{"a", "bc", ""}));
  const krvk_token& end = out.tokens.back();
  EXPECT_EQ(end.kind, KRVK_TOKEN_END);
  EXPECT_EQ(end.line, 3u);
  EXPECT_EQ(end.column, 1u);
  EXPECT_EQ(end.source_line_index, 2u);
}

TEST(KernelLexer, CrlfSourcesGiveTheSameTokensLinesAndColumnsAsLf) {
  std::string lf = "kernel void k(f32* p) {\n  p[gid] = 1.5f; // c\n  /* a\n b */ x++;\n}\n";
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  lexed a = lex(lf);
  lexed b = lex(crlf);
  EXPECT_EQ(a.map.source_lines, b.map.source_lines);
  ASSERT_EQ(a.tokens.size(), b.tokens.size());
  for (size_t i = 0; i < a.tokens.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a.tokens[i].text, b.tokens[i].text);
    EXPECT_EQ(a.tokens[i].line, b.tokens[i].line);
    EXPECT_EQ(a.tokens[i].source_line_index, b.tokens[i].source_line_index);
    EXPECT_EQ(a.tokens[i].column, b.tokens[i].column);
  }
  EXPECT_EQ(b.map.source_lines[3], " b */ x++;");
}

TEST(KernelLexer, TokensCarryKindTextAndPosition) {
  lexed out = lex("kernel f32\n  x_1 <<= 0x1F;");
  struct expected {
    uint32_t kind;
    const char* text;
    uint32_t line, column;
  };
  const expected want[] = {{KRVK_TOKEN_WORD, "kernel", 1, 1}, {KRVK_TOKEN_WORD, "f32", 1, 8},
                           {KRVK_TOKEN_WORD, "x_1", 2, 3},     {KRVK_TOKEN_PUNCT, "<<=", 2, 7},
                           {KRVK_TOKEN_INT, "0x1F", 2, 11},    {KRVK_TOKEN_PUNCT, ";", 2, 15},
                           {KRVK_TOKEN_END, "end of kernel source", 2, 16}};
  ASSERT_EQ(out.tokens.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out.tokens[i].kind, want[i].kind);
    EXPECT_EQ(out.tokens[i].text, want[i].text);
    EXPECT_EQ(out.tokens[i].line, want[i].line);
    EXPECT_EQ(out.tokens[i].column, want[i].column);
    EXPECT_EQ(out.tokens[i].source_line_index, want[i].line - 1);
  }
  EXPECT_EQ(out.tokens[4].int_value, 31u);
}

TEST(KernelLexer, PunctuatorsMatchLongestFirst) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"<<= >>= << >> <= >=", {"<<=", ">>=", "<<", ">>", "<=", ">="}},
      {"a<<=b", {"a", "<<=", "b"}},
      {"::", {":", ":"}},
      {"p->x", {"p", "->", "x"}},
      {"->-", {"->", "-"}},
      {"a+++b", {"a", "++", "+", "b"}},
      {"== != && || ++ -- += -= *= /= %= &= |= ^=",
       {"==", "!=", "&&", "||", "++", "--", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^="}},
      {"+-*/%&|^~! < > = ()[]{}.,;:?",
       {"+", "-", "*", "/", "%", "&", "|", "^", "~", "!", "<", ">", "=", "(", ")", "[", "]", "{", "}", ".", ",", ";",
        ":", "?"}},
  };
  for (const auto& [source, want] : cases) {
    SCOPED_TRACE(source);
    lexed out = lex(source);
    std::vector<std::string> got = texts(out.tokens);
    got.pop_back();
    EXPECT_EQ(got, want);
  }
}

struct number_case {
  const char* source;
  uint32_t kind;
  uint64_t int_value;
  double float_value;
  uint8_t suffix_u;
  uint8_t suffix_f;
};

TEST(KernelLexer, NumberLiteralsGiveKindValueAndSuffixes) {
  const number_case cases[] = {
      {"0", KRVK_TOKEN_INT, 0, 0, 0, 0},
      {"010", KRVK_TOKEN_INT, 10, 0, 0, 0},
      {"0o17", KRVK_TOKEN_INT, 15, 0, 0, 0},
      {"0O17", KRVK_TOKEN_INT, 15, 0, 0, 0},
      {"0b101", KRVK_TOKEN_INT, 5, 0, 0, 0},
      {"0XfF", KRVK_TOKEN_INT, 255, 0, 0, 0},
      {"0x10f", KRVK_TOKEN_INT, 271, 0, 0, 0},
      {"18446744073709551615", KRVK_TOKEN_INT, 18446744073709551615u, 0, 0, 0},
      {"0xFFFFFFFFFFFFFFFF", KRVK_TOKEN_INT, 18446744073709551615u, 0, 0, 0},
      {"0b1111111111111111111111111111111111111111111111111111111111111111", KRVK_TOKEN_INT,
       18446744073709551615u, 0, 0, 0},
      {"10u", KRVK_TOKEN_INT, 10, 0, 1, 0},
      {"0x10U", KRVK_TOKEN_INT, 16, 0, 1, 0},
      {"0b1u", KRVK_TOKEN_INT, 1, 0, 1, 0},
      {"3f", KRVK_TOKEN_FLOAT, 0, 3.0, 0, 1},
      {"18446744073709551615f", KRVK_TOKEN_FLOAT, 0, 18446744073709551615.0, 0, 1},
      {"1.5f", KRVK_TOKEN_FLOAT, 0, 1.5, 0, 1},
      {"2e-3F", KRVK_TOKEN_FLOAT, 0, 2e-3, 0, 1},
      {"1.5", KRVK_TOKEN_FLOAT, 0, 1.5, 0, 0},
      {".5", KRVK_TOKEN_FLOAT, 0, 0.5, 0, 0},
      {"1.", KRVK_TOKEN_FLOAT, 0, 1.0, 0, 0},
      {"1.f", KRVK_TOKEN_FLOAT, 0, 1.0, 0, 1},
      {"1E+2", KRVK_TOKEN_FLOAT, 0, 100.0, 0, 0},
      {"00012.250", KRVK_TOKEN_FLOAT, 0, 12.25, 0, 0},
      {"1e999", KRVK_TOKEN_FLOAT, 0, HUGE_VAL, 0, 0},
      {"1e-999", KRVK_TOKEN_FLOAT, 0, 0.0, 0, 0},
  };
  for (const number_case& c : cases) {
    SCOPED_TRACE(c.source);
    lexed out = lex(c.source);
    ASSERT_EQ(out.tokens.size(), 2u);
    const krvk_token& token = out.tokens[0];
    EXPECT_EQ(token.kind, c.kind);
    EXPECT_EQ(token.text, c.source);
    EXPECT_EQ(token.int_value, c.int_value);
    EXPECT_EQ(token.float_value, c.float_value);
    EXPECT_EQ(token.suffix_u, c.suffix_u);
    EXPECT_EQ(token.suffix_f, c.suffix_f);
  }
}

TEST(KernelLexer, NumbersStopWhereTheirDigitsStop) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"0x1.5", {"0x1", ".5"}},
      // The '.' before another '.' is not taken; the second '.' starts the number .2.
      {"1..2", {"1", ".", ".2"}},
      {"a.5", {"a", ".5"}},
      {"1.5.3", {"1.5", ".3"}},
  };
  for (const auto& [source, want] : cases) {
    SCOPED_TRACE(source);
    std::vector<std::string> got = texts(lex(source).tokens);
    got.pop_back();
    EXPECT_EQ(got, want);
  }
}

TEST(KernelLexer, CommentsAreSkippedAndBlockCommentsAdvanceLines) {
  lexed out = lex("a // b c\n/* d\ne */ f /* g */ h // end");
  ASSERT_EQ(texts(out.tokens), (std::vector<std::string>{"a", "f", "h", "end of kernel source"}));
  EXPECT_EQ(out.tokens[1].line, 3u);
  EXPECT_EQ(out.tokens[1].column, 6u);
  EXPECT_EQ(out.tokens[2].column, 16u);
}

TEST(KernelLexer, LineDirectiveRemapsLaterLinesButQuotesThePhysicalLine) {
  lexed out = lex("a\nb\n#line 10 \"lib.k\"\nc\nd\n  # line 100 trailing words\ne", "main.k");
  EXPECT_EQ(out.map.file_names, (std::vector<std::string>{"main.k", "lib.k"}));
  struct expected {
    const char* text;
    uint32_t line;
    uint16_t file;
    uint32_t physical;
  };
  const expected want[] = {{"a", 1, 0, 0}, {"b", 2, 0, 1}, {"c", 10, 1, 3}, {"d", 11, 1, 4}, {"e", 100, 1, 6}};
  for (size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(want[i].text);
    EXPECT_EQ(out.tokens[i].text, want[i].text);
    EXPECT_EQ(out.tokens[i].line, want[i].line);
    EXPECT_EQ(out.tokens[i].file_index, want[i].file);
    EXPECT_EQ(out.tokens[i].source_line_index, want[i].physical);
  }

  kerror error = lex_error("a\n#line 20 \"gen.k\"\nb @");
  EXPECT_EQ(error.file, "gen.k");
  EXPECT_EQ(error.line, 20u);
  EXPECT_EQ(error.column, 3u);
  EXPECT_EQ(error.source_line, "b @");
}

TEST(KernelLexer, LineDirectiveNumberFormsAndTheLargestLine) {
  lexed plus = lex("#line +7\nx");
  EXPECT_EQ(plus.tokens[0].line, 7u);
  lexed glued = lex("#line 3\"g.k\"\nx");
  EXPECT_EQ(glued.tokens[0].line, 3u);
  EXPECT_EQ(glued.map.file_names[glued.tokens[0].file_index], "g.k");
  // The top of the range holds instead of wrapping to line 0.
  lexed top = lex("#line 4294967295\nx\ny\n/*\n*/z");
  EXPECT_EQ(top.tokens[0].line, 4294967295u);
  EXPECT_EQ(top.tokens[1].line, 4294967295u);
  EXPECT_EQ(top.tokens[2].line, 4294967295u);
}

TEST(KernelLexer, SourcesShareOneTokenListAndSourceMap) {
  krvk_source_map map;
  std::vector<krvk_token> tokens;
  krvk_lexer lexer{&map, &tokens};
  krvk_lex(lexer, "a\nb", "one.k");
  krvk_lex(lexer, "c", "two.k");
  krvk_lex(lexer, "d", "one.k");
  EXPECT_EQ(map.file_names, (std::vector<std::string>{"one.k", "two.k"}));
  EXPECT_EQ(map.source_lines, (std::vector<std::string>{"a", "b", "c", "d"}));
  ASSERT_EQ(texts(tokens), (std::vector<std::string>{"a", "b", "end of kernel source", "c", "end of kernel source",
                                                      "d", "end of kernel source"}));
  EXPECT_EQ(tokens[3].source_line_index, 2u);
  EXPECT_EQ(tokens[3].file_index, 1u);
  EXPECT_EQ(tokens[5].line, 1u);
  EXPECT_EQ(tokens[5].file_index, 0u);
  EXPECT_EQ(tokens[5].source_line_index, 3u);
}

TEST(KernelLexer, AFullFileListIsADiagnosticAtTheDirectiveOrTheSource) {
  krvk_source_map map;
  for (int i = 0; i < 65536; ++i) map.file_names.push_back("f" + std::to_string(i));
  std::vector<krvk_token> tokens;
  krvk_lexer lexer{&map, &tokens};
  krvk_lex(lexer, "#line 3 \"f7\"\nx", "f1");  // known names still resolve
  EXPECT_EQ(tokens[0].file_index, 7u);
  // A new name named by a directive fails at the directive; a new source name on the source's first line.
  const struct {
    const char* text;
    const char* name;
    uint32_t line, column;
    const char* quoted_line;
  } cases[] = {{"x\n  #line 3 \"new.k\"", "f1", 2, 3, "  #line 3 \"new.k\""},
               {"first line\nx", "new.k", 1, 1, "first line"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      krvk_lex(lexer, c.text, c.name);
      ADD_FAILURE() << "no diagnostic";
    } catch (const kerror& error) {
      EXPECT_EQ(error.message, "too many source files in one compilation (at most 65536)");
      EXPECT_EQ(error.file, c.name);
      EXPECT_EQ(error.line, c.line);
      EXPECT_EQ(error.column, c.column);
      EXPECT_EQ(error.source_line, c.quoted_line);
    }
  }
}

}  // namespace
