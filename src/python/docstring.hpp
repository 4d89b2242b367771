// Docstrings: the module's own first lines, then the English body written once, in the stubs.
//
// The first part is the system's own text: the text signature ("add_device($self, slot_index,
// node_id, mode)\n--\n\n", from which inspect.signature reads the parameters) and the lines the
// module has always shown after it, Chinese for most names. The English body is the docstring
// of the same name in stubs/varnex.pyi, which type checkers and the API reference read too; the
// build turns the stubs into python/english_docs.hpp (tools/docstring_header.py), so help(),
// the stubs and the reference cannot say different things. tests/python/test_docstrings.py
// checks the built module against the stubs.
//
//   method<add_device>("add_device",
//                      doc<"add_device($self, slot_index, node_id, mode)\n--\n\n添加一个驱动器…",
//                          "Motor.add_device">()),
//   property<node_id>("node_id", doc<"驱动器的节点 ID…", "Device.node_id">()),
//   method<close>("close", doc<"close($self)\n--\n\n", "Motor.close">()),   // English only
//
// Documenting a new name: write its docstring in stubs/varnex.pyi and give its table entry
// doc<"its text signature\n--\n\n", "Class.name">(). A name without a docstring in the stubs
// does not compile. The text is joined at compile time into a constant with static storage, as
// the method and type tables need.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "python/english_docs.hpp"  // generated

namespace varnex::py {

// A string literal as a template argument.
template <std::size_t N>
struct DocText {
  char chars[N]{};
  constexpr DocText(const char (&text)[N]) { std::copy_n(text, N, chars); }
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

namespace detail {

constexpr bool has_english_body(std::string_view name) {
  return std::any_of(std::begin(english::kBodies), std::end(english::kBodies),
                     [name](const english::Body& body) { return body.name == name; });
}

constexpr std::string_view english_body(std::string_view name) {
  for (const english::Body& body : english::kBodies) {
    if (body.name == name) return body.text;
  }
  return {};
}

// A blank line between the module's own text and the English body; none after a bare text
// signature (or no text at all), so that the body starts the documentation there.
constexpr std::string_view separator(std::string_view own) {
  return own.empty() || own.ends_with("\n--\n\n") ? std::string_view{} : std::string_view{"\n\n"};
}

template <DocText Own, DocText Name>
struct JoinedDoc {
  static_assert(
      has_english_body(Name.view()),
      "no docstring for this name in stubs/varnex.pyi (the name is in the instantiation)");
  static constexpr std::string_view own = Own.view();
  static constexpr std::string_view gap = separator(own);
  static constexpr std::string_view body = english_body(Name.view());
  static constexpr std::array<char, own.size() + gap.size() + body.size() + 1> text = [] {
    std::array<char, own.size() + gap.size() + body.size() + 1> out{};
    auto end = std::copy(own.begin(), own.end(), out.begin());
    end = std::copy(gap.begin(), gap.end(), end);
    std::copy(body.begin(), body.end(), end);
    return out;
  }();
};

}  // namespace detail

// The docstring of Name: Own, then the English body from the stubs (see the top of this file).
template <DocText Own, DocText Name>
constexpr const char* doc() {
  return detail::JoinedDoc<Own, Name>::text.data();
}

}  // namespace varnex::py
