// How much stack the library's matcher may take for a pattern, per byte of input and whatever the input.
//
// libstdc++'s matcher (the depth-first _Executor of GCC 12) walks the pattern's automaton by recursion:
// every state on the current path is a live call (_M_dfs and its handler), and the path only shrinks
// when it backtracks. So the stack at any moment is the sum of the frames of one path from the start
// state. A path consumes at most the input's n bytes, and it can only come back to a state through a
// loop (*, +, {n,}): a loop's body is walked at most once per byte it consumes, or, when the body can
// match empty, at most twice per input position (the executor refuses a third pass at one position).
// Those two facts bound every path, fragment by fragment (krv_regex_walk below), as
//
//   stack <= per_input_byte * n + fixed.
//
// Nesting of quantified groups multiplies into per_input_byte (each level adds its frames per pass),
// lazy and greedy quantifiers walk the same paths (only the order differs), and a lookahead runs a
// second matcher on top of the path over the rest of the input.
//
// The frame sizes are the largest measured for each kind of state in the optimised, -O0, ASan and TSan
// builds (docs/performance.md), so one bound holds for every build.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Stack bytes per state on the matcher's path, by kind of state.
inline constexpr uint64_t krv_regex_match_frame = 160;      // a character, class or '.'
inline constexpr uint64_t krv_regex_repeat_frame = 336;     // *, +, ?, {n,m}: each pass through its choice
inline constexpr uint64_t krv_regex_alternative_frame = 160;
inline constexpr uint64_t krv_regex_group_frame = 272;      // a capturing group's begin, and its end
inline constexpr uint64_t krv_regex_assertion_frame = 256;  // ^ $ \b \B
inline constexpr uint64_t krv_regex_backref_frame = 352;
inline constexpr uint64_t krv_regex_lookahead_frame = 960;  // the state and the second matcher it starts
// The library's entry into the matcher, and the job's frames above it.
inline constexpr uint64_t krv_regex_entry_stack = 64 * 1024;

// The most the matcher may take on any thread: what it takes of the 32 MiB stacks the host gives its VM
// thread and workers (host/host_thread.h), where the limits were set. A thread with more stack allows no
// longer input, so the limits stay within what they were measured for (docs/performance.md).
inline constexpr uint64_t krv_regex_max_stack_budget = uint64_t{24} << 20;

// What the matcher may take when it is entered from the calling frame: seven eighths of the stack left
// below it on the calling thread (krv_platform::stack_bytes_left), at most krv_regex_max_stack_budget.
// The eighth kept back covers a signal handler run on the thread, and on a main thread the gap the kernel
// keeps below a growing stack. A host's thread of 8 MiB gives about 7 MiB, one of 32 MiB the whole 24;
// a thread whose stack the system does not report gives nothing, so only empty inputs are matched there.
uint64_t krv_regex_stack_budget_here();

struct krv_regex_matcher_stack {
  uint64_t per_input_byte = 0;
  uint64_t fixed = 0;
};

// The bound of the paths through one fragment of the pattern (an atom, a group, a quantified piece, a
// sequence), for a path that consumes k bytes inside the fragment:
//   entry to exit:            per_byte * k + through
//   entry to a state inside:  per_byte * k + within + within_per_input * n
// where n is the whole input's length (a lookahead's own matcher may read to its end). All saturate.
//
// Nested loops whose bodies can match empty would make that bound grow with the power of the nesting,
// since each level counts two empty passes of the level below per position, while the executor allows
// each loop two such passes per position in all. So each fragment also carries what a path may take
// at any one position: a state is passed again at one position only through an empty pass of a loop
// around it, so at most 1 + 2 x (such loops around it) times, which is linear in the nesting.
struct krv_regex_walk {
  uint64_t min_bytes = 0;         // the fewest bytes a path from entry to exit consumes; 0 = can match empty
  uint64_t max_bytes = 0;         // the most a path inside it consumes; saturated where a loop or back-reference is
  uint64_t per_byte = 0;
  uint64_t through = 0;
  uint64_t within = 0;
  uint64_t within_per_input = 0;
  uint64_t states = 0;        // the frames of all its states, each once
  uint64_t per_position = 0;  // the most a path inside it takes at one input position
};

krv_regex_walk krv_regex_walk_atom();       // one byte: a character, a class, '.'
krv_regex_walk krv_regex_walk_assertion();  // ^ $ \b \B
// Consumes what its group matched, maybe nothing: at most `group_max_bytes`.
krv_regex_walk krv_regex_walk_backref(uint64_t group_max_bytes);
krv_regex_walk krv_regex_walk_sequence(const krv_regex_walk& first, const krv_regex_walk& second);
// `alternatives` of them, `either` their fields combined (krv_regex_walk_either).
krv_regex_walk krv_regex_walk_alternation(const krv_regex_walk& either, uint64_t alternatives);
krv_regex_walk krv_regex_walk_capture(const krv_regex_walk& body);
krv_regex_walk krv_regex_walk_lookahead(const krv_regex_walk& body);
krv_regex_walk krv_regex_walk_loop(const krv_regex_walk& body);      // body*
krv_regex_walk krv_regex_walk_optional(const krv_regex_walk& body);  // body?
// body{least,most}; `unbounded` for body{least,}. Counts are at most a few thousand.
krv_regex_walk krv_regex_walk_braces(const krv_regex_walk& body, uint64_t least, uint64_t most, bool unbounded);
// What a path through one of the two may take: the larger of each path field, min_bytes the smaller,
// states and per_position the sum (both are there to be passed).
krv_regex_walk krv_regex_walk_either(const krv_regex_walk& a, const krv_regex_walk& b);

// The whole pattern: its top-level alternatives inside group 0, then the accepting state.
krv_regex_matcher_stack krv_regex_matcher_stack_of(const krv_regex_walk& pattern);

// Builds the walk of a pattern from its pieces in the order the reader meets them (string_regex_shape.h).
// Pieces the library would refuse (a quantifier with nothing before it, a ')' with no group open) are
// passed over: such a pattern never reaches the matcher.
class krv_regex_walk_builder {
 public:
  enum class group_kind { capture, plain, lookahead };

  krv_regex_walk_builder() { open_groups_.emplace_back(); }

  void atom(const krv_regex_walk& walk);       // takes quantifiers
  void backref(uint64_t group);                // \group, which the reader has checked is opened
  void assertion(const krv_regex_walk& walk);  // takes none
  // Applies `quantify` to the last atom or group, if any.
  void quantify(krv_regex_walk (*quantify)(const krv_regex_walk&));
  void quantify_braces(uint64_t least, uint64_t most, bool unbounded);
  void alternative();  // '|'
  void open(group_kind kind);
  void close();  // ')'
  // Closes whatever is still open and gives the pattern's bound.
  krv_regex_matcher_stack finish();

 private:
  struct open_group {
    group_kind kind = group_kind::plain;
    uint64_t number = 0;          // a capturing group's number
    krv_regex_walk alternatives;  // the alternatives before the current one, combined
    uint64_t alternative_count = 0;
    krv_regex_walk sequence;      // the current alternative up to its last piece
    krv_regex_walk last;          // the last atom or group, which a quantifier may still take
    bool has_last = false;
  };
  void settle_last(open_group& group);
  krv_regex_walk body_of(open_group& group);

  std::vector<open_group> open_groups_;  // the pattern itself first, then each group open at the reading point
  // By group number - 1, the most a capturing group consumes; saturated while it is open (a back-reference
  // inside it repeats what it matched in an earlier pass of a loop).
  std::vector<uint64_t> capture_max_bytes_;
};
