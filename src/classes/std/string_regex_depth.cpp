// The matcher's stack bound, fragment by fragment (see string_regex_depth.h).
#include "classes/std/string_regex_depth.h"

#include <algorithm>

#include "platform/thread_stack.h"

namespace {

// Far above any budget, and far enough below 2^64 that a sum of two never wraps.
constexpr uint64_t saturated = uint64_t{1} << 62;

uint64_t add(uint64_t a, uint64_t b) { return std::min(a + b, saturated); }

uint64_t times(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > saturated / b ? saturated : a * b;
}

// ceil(a / b), b > 0.
uint64_t per(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

// A single state of `frame` bytes that consumes nothing.
krv_regex_walk single_state(uint64_t frame) { return {0, 0, 0, frame, frame, 0, frame, frame}; }

// `count` copies of `body` one after the other, count >= 1.
krv_regex_walk copies(const krv_regex_walk& body, uint64_t count) {
  return {times(body.min_bytes, count),       times(body.max_bytes, count),
          body.per_byte,
          times(body.through, count),         add(times(body.through, count - 1), body.within),
          body.within_per_input,              times(body.states, count),
          times(body.per_position, count)};
}

// `body` behind one more state of `frame` bytes that a path passes once.
krv_regex_walk behind(uint64_t frame, const krv_regex_walk& body) {
  return {body.min_bytes,          body.max_bytes,          body.per_byte,
          add(frame, body.through), add(frame, body.within), body.within_per_input,
          add(frame, body.states),  add(frame, body.per_position)};
}

}  // namespace

// Its frame is counted per byte consumed when a path passes it, and as the deepest state when it fails.
krv_regex_walk krv_regex_walk_atom() {
  return {1, 1, krv_regex_match_frame, 0, krv_regex_match_frame, 0, krv_regex_match_frame, krv_regex_match_frame};
}

krv_regex_walk krv_regex_walk_assertion() { return single_state(krv_regex_assertion_frame); }

krv_regex_walk krv_regex_walk_backref(uint64_t group_max_bytes) {
  krv_regex_walk backref = single_state(krv_regex_backref_frame);
  backref.max_bytes = group_max_bytes;
  return backref;
}

krv_regex_walk krv_regex_walk_sequence(const krv_regex_walk& first, const krv_regex_walk& second) {
  return {add(first.min_bytes, second.min_bytes),
          add(first.max_bytes, second.max_bytes),
          std::max(first.per_byte, second.per_byte),
          add(first.through, second.through),
          std::max(first.within, add(first.through, second.within)),
          std::max(first.within_per_input, second.within_per_input),
          add(first.states, second.states),
          add(first.per_position, second.per_position)};
}

krv_regex_walk krv_regex_walk_either(const krv_regex_walk& a, const krv_regex_walk& b) {
  return {std::min(a.min_bytes, b.min_bytes),
          std::max(a.max_bytes, b.max_bytes),
          std::max(a.per_byte, b.per_byte),
          std::max(a.through, b.through),
          std::max(a.within, b.within),
          std::max(a.within_per_input, b.within_per_input),
          add(a.states, b.states),
          add(a.per_position, b.per_position)};
}

// The library chains n alternatives through n - 1 choice states, the first alternative behind all of them.
krv_regex_walk krv_regex_walk_alternation(const krv_regex_walk& either, uint64_t alternatives) {
  return behind(times(alternatives - 1, krv_regex_alternative_frame), either);
}

krv_regex_walk krv_regex_walk_capture(const krv_regex_walk& body) {
  krv_regex_walk group = behind(krv_regex_group_frame, body);  // its begin state, then the body
  group.within = std::max(group.within, add(group.through, krv_regex_group_frame));
  group.through = add(group.through, krv_regex_group_frame);  // and its end state
  group.states = add(group.states, krv_regex_group_frame);
  group.per_position = add(group.per_position, krv_regex_group_frame);
  return group;
}

// The lookahead's state stays on the path; its own matcher runs from it over the rest of the input,
// through the body and the body's accepting state, and returns before the path goes on.
krv_regex_walk krv_regex_walk_lookahead(const krv_regex_walk& body) {
  uint64_t own = std::max(body.within, add(body.through, krv_regex_match_frame));
  krv_regex_walk lookahead = single_state(krv_regex_lookahead_frame);
  lookahead.within_per_input = body.within_per_input;
  if (body.max_bytes < saturated) {
    own = add(own, times(body.per_byte, body.max_bytes));
  } else {
    lookahead.within_per_input = add(lookahead.within_per_input, body.per_byte);
  }
  lookahead.within = add(krv_regex_lookahead_frame, own);
  return lookahead;
}

// A path through body* passes the loop's state before each pass and once to leave; p passes of a
// body that consumes at least m > 0 bytes consume at least (p - 1) * m of the k, so p - 1 <= k / m.
//
// A body that can match empty is passed at most twice per input position with nothing consumed, and
// its loop's state is then passed at most three times at one position. Three bounds hold for such a
// loop; the one with the smallest cost per byte is kept:
//  - p <= 2 (k + 1) passes, each bounded as the body is;
//  - the passes that consume, each bounded as the body is, and at each of the k + 1 positions the
//    rest of the path, which per_position bounds;
//  - per_position at each of the k + 1 positions (linear in the nesting of such loops).
krv_regex_walk krv_regex_walk_loop(const krv_regex_walk& body) {
  const uint64_t pass = add(krv_regex_repeat_frame, body.through);  // the loop's state and one whole pass
  krv_regex_walk loop{0, body.max_bytes == 0 ? 0 : saturated, 0, 0, 0, body.within_per_input,
                      add(krv_regex_repeat_frame, body.states), 0};
  if (body.min_bytes > 0) {
    loop.per_byte = add(body.per_byte, per(pass, body.min_bytes));
    loop.through = krv_regex_repeat_frame;
    loop.within = add(krv_regex_repeat_frame, body.within);
    loop.per_position = add(krv_regex_repeat_frame, body.per_position);
    return loop;
  }
  // Every state of the body is passed at most twice more per position.
  loop.per_position = add(add(times(3, krv_regex_repeat_frame), body.per_position), times(2, body.states));
  const struct {
    uint64_t per_byte, through;
  } bounds[] = {
      {add(body.per_byte, times(pass, 2)), add(krv_regex_repeat_frame, times(pass, 2))},
      {add(add(body.per_byte, body.through), loop.per_position), loop.per_position},
      {loop.per_position, loop.per_position},
  };
  loop.per_byte = loop.through = saturated;
  for (const auto& bound : bounds) {
    if (bound.per_byte < loop.per_byte || (bound.per_byte == loop.per_byte && bound.through < loop.through)) {
      loop.per_byte = bound.per_byte;
      loop.through = bound.through;
    }
  }
  loop.within = add(loop.through, body.within);
  return loop;
}

krv_regex_walk krv_regex_walk_optional(const krv_regex_walk& body) {
  krv_regex_walk optional = behind(krv_regex_repeat_frame, body);
  optional.min_bytes = 0;
  return optional;
}

// The library copies the body `least` times, then either loops over one more copy or chains
// most - least optional copies.
krv_regex_walk krv_regex_walk_braces(const krv_regex_walk& body, uint64_t least, uint64_t most, bool unbounded) {
  krv_regex_walk tail;
  if (unbounded) {
    tail = krv_regex_walk_loop(body);
  } else if (most > least) {
    tail = copies(krv_regex_walk_optional(body), most - least);
  }
  return least == 0 ? tail : krv_regex_walk_sequence(copies(body, least), tail);
}

krv_regex_matcher_stack krv_regex_matcher_stack_of(const krv_regex_walk& pattern) {
  const krv_regex_walk group_zero = krv_regex_walk_capture(pattern);
  const uint64_t to_accept = std::max(group_zero.within, add(group_zero.through, krv_regex_match_frame));
  const uint64_t fixed = add(to_accept, krv_regex_entry_stack);
  // A pattern without loops or back-references consumes at most max_bytes, whatever the input.
  if (group_zero.max_bytes < saturated)
    return {group_zero.within_per_input, add(fixed, times(group_zero.per_byte, group_zero.max_bytes))};
  return {add(group_zero.per_byte, group_zero.within_per_input), fixed};
}

void krv_regex_walk_builder::settle_last(open_group& group) {
  if (group.has_last) group.sequence = krv_regex_walk_sequence(group.sequence, group.last);
  group.has_last = false;
}

krv_regex_walk krv_regex_walk_builder::body_of(open_group& group) {
  settle_last(group);
  if (group.alternative_count == 0) return group.sequence;
  return krv_regex_walk_alternation(krv_regex_walk_either(group.alternatives, group.sequence),
                                    group.alternative_count + 1);
}

void krv_regex_walk_builder::atom(const krv_regex_walk& walk) {
  open_group& group = open_groups_.back();
  settle_last(group);
  group.last = walk;
  group.has_last = true;
}

void krv_regex_walk_builder::assertion(const krv_regex_walk& walk) {
  open_group& group = open_groups_.back();
  settle_last(group);
  group.sequence = krv_regex_walk_sequence(group.sequence, walk);
}

void krv_regex_walk_builder::quantify(krv_regex_walk (*quantify)(const krv_regex_walk&)) {
  open_group& group = open_groups_.back();
  if (group.has_last) group.last = quantify(group.last);
}

void krv_regex_walk_builder::quantify_braces(uint64_t least, uint64_t most, bool unbounded) {
  open_group& group = open_groups_.back();
  if (group.has_last) group.last = krv_regex_walk_braces(group.last, least, most, unbounded);
}

void krv_regex_walk_builder::alternative() {
  open_group& group = open_groups_.back();
  settle_last(group);
  group.alternatives =
      group.alternative_count == 0 ? group.sequence : krv_regex_walk_either(group.alternatives, group.sequence);
  ++group.alternative_count;
  group.sequence = {};
}

void krv_regex_walk_builder::backref(uint64_t group) {
  // A group not opened yet makes the library refuse the pattern.
  atom(krv_regex_walk_backref(group >= 1 && group <= capture_max_bytes_.size() ? capture_max_bytes_[group - 1] : 0));
}

void krv_regex_walk_builder::open(group_kind kind) {
  open_groups_.emplace_back();
  open_groups_.back().kind = kind;
  if (kind != group_kind::capture) return;
  capture_max_bytes_.push_back(saturated);
  open_groups_.back().number = capture_max_bytes_.size();
}

void krv_regex_walk_builder::close() {
  if (open_groups_.size() < 2) return;
  const group_kind kind = open_groups_.back().kind;
  const uint64_t number = open_groups_.back().number;
  const krv_regex_walk body = body_of(open_groups_.back());
  open_groups_.pop_back();
  switch (kind) {
    case group_kind::capture:
      capture_max_bytes_[number - 1] = body.max_bytes;
      atom(krv_regex_walk_capture(body));
      break;
    case group_kind::plain: atom(body); break;
    case group_kind::lookahead: assertion(krv_regex_walk_lookahead(body)); break;
  }
}

krv_regex_matcher_stack krv_regex_walk_builder::finish() {
  while (open_groups_.size() > 1) close();
  return krv_regex_matcher_stack_of(body_of(open_groups_.back()));
}

uint64_t krv_regex_stack_budget_here() {
  const uint64_t left = krv_platform::stack_bytes_left();
  return std::min(left - left / 8, krv_regex_max_stack_budget);
}
