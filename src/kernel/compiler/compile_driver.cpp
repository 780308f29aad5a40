#include "kernel/compiler/compile_driver.h"

#include <algorithm>

#include "kernel/compiler/compiler_context.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"

std::vector<krvk_source> krvk_merge_sources(const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports,
                                            const std::string& text, const std::string& name) {
  std::vector<krvk_source> sources;
  for (const std::shared_ptr<krvk_compiled_unit>& imported : imports) {
    if (!imported) continue;
    for (const krvk_source& source : imported->sources) {
      bool known = std::any_of(sources.begin(), sources.end(), [&](const krvk_source& have) {
        return have.text == source.text && have.name == source.name;
      });
      if (!known) sources.push_back(source);
    }
  }
  sources.push_back({text, name});
  return sources;
}

void krvk_parse_sources(const std::vector<krvk_source>& sources, krvk_front_end& front) {
  if (sources.empty()) return;
  krvk_lexer lexer{&front.map, &front.tokens};
  // Imported sources drop their end tokens, so the tokens of consecutive sources follow each other
  // directly and only the main source's end token closes the list.
  for (size_t i = 0; i + 1 < sources.size(); ++i) {
    krvk_lex(lexer, sources[i].text, sources[i].name);
    front.tokens.pop_back();
  }
  front.main_first_token = front.tokens.size();
  krvk_lex(lexer, sources.back().text, sources.back().name);
  krvk_parser parser(front.map, front.tokens, front.main_first_token);
  parser.parse_unit();
  front.syntax = std::move(parser.unit);
}

std::shared_ptr<krvk_compiled_unit> krvk_compile_source(
    const std::string& text, const std::string& name, kerror& err,
    const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports) {
  return krvk_compile_source(text, name, err, imports, krvk_default_back_end_passes());
}

std::shared_ptr<krvk_compiled_unit> krvk_compile_source(
    const std::string& text, const std::string& name, kerror& err,
    const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports, const krvk_back_end_passes& passes) {
  auto unit = std::make_shared<krvk_compiled_unit>();
  unit->sources = krvk_merge_sources(imports, text, name);
  try {
    krvk_front_end front;
    krvk_parse_sources(unit->sources, front);
    // Every syntax node keeps a copy of its token: the list goes before the checker adds its own memory.
    std::vector<krvk_token>().swap(front.tokens);
    krvk_compiler checker(front.map, front.syntax, *unit, passes);
    checker.compile_unit();
  } catch (const kerror& error) {
    err = error;
    return nullptr;
  }
  return unit;
}
