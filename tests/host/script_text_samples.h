// Texts of the assembler's text form shared by the assembler tests and the mutation fuzz.
#pragma once

// A program with forward and backward jumps, child and default-value blocks, a body block, a class
// record with a base class, source positions, natives, cells and a fast path, written canonically.
inline constexpr const char* round_trip_text = R"(program "round \"trip\""
string "x"
string "area"
source S0 "C:\\proj\\main.krv"
source S1 "lib/inc.krv" in S0
line S0 1 "let x = 0;"
line S1 4 "\tloop"
native N0 "print" 0 999
cell C0 int 42
cell C1 string "s\n"
class K0 "Shape"
class K1 "Square" base K0 ctor B2 abstract "area"
member K1 "area" 0 method private
member K1 "x" 0
method K1 0 B1
block B0 4 locals 2 caches 1 has_catch
  flag 1 4
  const float 0.1
  const string "c"
  slotref 0 0 1 0
  slotref 20 0 0 0
  pos S0 1 4
  load_const 0
L8:
  pos S1 4 1
  jump_false L40
  call_native @N0
  jump L8
L40:
  load_cell $C0
  member 0 0 %K1 0
  numeric_fast_path L313 0 0 0 step 0 0 1 step 3 0 0 step 4 0 0 int 3
  load_local 1
  load_int 3
  add
L313:
  run_child 0
  run_body
end
block B1 1 child B0 locals 2 params 2 first_default 1 method_flags 1
  default_arg 1
  load_local 1
  return
end
block B2 1 child B1 class K1
  new_instance
end
block B3 2 body B0 continue 8 resume_at_end noexcept
  pop
  break
  pop
end
)";

// Written as a user would: own names, comments, labels used before and after their binding, blocks in
// another order than the canonical one, every value kind and most instruction shapes.
inline constexpr const char* hand_written_text = R"text(# a small program
program "hand"
string "name"      # 0
string "area"      # 1
source main "main.krv"
line main 2 "x = f(1, 2.5)"
native print "print" 1 3
native len "len" 1 1
cell zero int 0
cell label string "tab\there"
cell nothing none
class Base "Base" abstract "area"
class Point "Point" base Base ctor make default make deinit finish
member Point "area" 0 method
member Point "name" 1 private
method Point 0 area
block main 4 locals 3 caches 2
  const int -7
  const none
  flag 2 4
  pos main 2 1
  args_open 2
  load_int 1
  arg 0
  load_float 2.5
  arg_copy 1
  call_native @print
again:
  load_local 0
  jump_true done
  inc 1
  load_frame_local 1 2
  load_global_const 0
  member 0 0 %Point 1
  cached_method_call past 1 1 0 0 0 1 %Point
  load_local 2
  call_prepare 0
  call
past:
  numeric_fast_path fast 1 0 2 step 0 0 0 step 3 0 0 step 5 0 0 float -0.5 int 9
  load_local 0
  load_float -0.5
  sub
fast:
  index_read 1 null 0
  jump again
done:
  load_function 0
  capture 1
  run_child 1
  catch 2
end
block area 1 child main params 1 locals 2 captured 1 method_flags 3
  load_context
  context_member 1 0
  return
end
block make 1 child main class Point locals 1
  new_instance
end
block handler 0 child main params 1 locals 1
  load_local 0
end
block finish 1 child make noexcept
  load_cell $label
  load_cell $nothing
  load_native @len
end
)text";
