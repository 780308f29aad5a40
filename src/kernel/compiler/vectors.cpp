// Builtin vector types (f32x4, i32x2, ...): lane-wise operators, vector construction T(...), and the
// building of vector results. A vector value is stored data of a builtin vector struct; every result
// is built in a fresh frame area (a per-work-item temporary), lane by lane with the scalar rules.
#include "kernel/compiler/compiler_context.h"

bool krvk_compiler::is_vector(const krvk_value& value) const {
  return is_struct_data(value) && struct_at(value.type.struct_index).vector_lanes >= 2;
}

uint8_t krvk_compiler::vector_lanes(const krvk_value& value) const {
  return struct_at(value.type.struct_index).vector_lanes;
}

krvk_value krvk_compiler::vector_lane(const krvk_value& vector, uint32_t lane) {
  return field_location(vector, struct_at(vector.type.struct_index).fields[lane]);
}

krvk_value krvk_compiler::vector_binary(const std::string& op, const krvk_value& left, const krvk_value& right) {
  if (krvk_is_comparison(op) || op == "&&" || op == "||") {
    error_here("'" + op + "' is not defined for vectors (compare their components)");
  }
  const bool left_vector = is_vector(left);
  const bool right_vector = is_vector(right);
  if ((!left_vector && is_struct_data(left)) || (!right_vector && is_struct_data(right))) {
    error_here("'" + op + "' is not defined for structs");
  }
  if (left_vector && right_vector && vector_lanes(left) != vector_lanes(right)) {
    error_here("'" + op + "' needs vectors of the same size (" + type_text(left.type) + " and " + type_text(right.type) + ")");
  }
  if (left.is_pointer() || right.is_pointer()) error_here("vectors and pointers cannot be combined");
  const uint8_t lanes = left_vector ? vector_lanes(left) : vector_lanes(right);
  // A scalar operand is the same for every lane: load it once.
  const krvk_value scalar_left = left_vector ? left : load_value(left);
  const krvk_value scalar_right = right_vector ? right : load_value(right);
  std::vector<krvk_value> results;
  for (uint32_t lane = 0; lane < lanes; ++lane) {
    const krvk_value l = left_vector ? vector_lane(left, lane) : scalar_left;
    const krvk_value r = right_vector ? vector_lane(right, lane) : scalar_right;
    results.push_back(binary_op(op, l, r));
  }
  return make_vector(std::move(results));
}

krvk_value krvk_compiler::vector_unary(const std::string& op, const krvk_value& vector) {
  std::vector<krvk_value> results;
  for (uint32_t lane = 0; lane < vector_lanes(vector); ++lane) {
    results.push_back(apply_unary(op, load_value(vector_lane(vector, lane))));
  }
  return make_vector(std::move(results));
}

krvk_value krvk_compiler::make_vector(std::vector<krvk_value> lanes) {
  for (krvk_value& lane : lanes) {
    lane = decay_literal(load_value(lane));
    if (lane.is_pointer()) error_here("vectors cannot hold pointers");
  }
  const uint8_t element = lanes.front().type.prim;
  if (element < KRVK_I8 || element > KRVK_F64) {
    error_here("vectors of " + type_text(lanes.front().type) + " are not supported (compare the components one by one)");
  }
  const std::string name = std::string(krvk_prim_name(element)) + "x" + std::to_string(lanes.size());
  const int32_t index = find_struct(name);
  const uint32_t size = struct_at(index).size;
  const uint32_t offset = allocate_frame(size, *current_);
  const krvk_value vector = frame_value(krvk_type{KRVK_STRUCT, index, 0, 0}, offset, 0, size);
  for (uint32_t lane = 0; lane < lanes.size(); ++lane) {
    const krvk_value value = coerce(lanes[lane], krvk_type{element, -1, 0, 0});
    emit_store(vector_lane(vector, lane), value_operand(value));
  }
  return vector;
}

krvk_value krvk_compiler::vector_construct(const krvk_expr_node& call, uint8_t scalar, uint8_t lanes) {
  std::vector<krvk_value> args;
  for (const krvk_expr_ptr& arg : call.operands) args.push_back(compile_expression(*arg));
  const std::string type_name = call.name;
  std::vector<krvk_value> values;
  if (args.size() == 1 && is_vector(args[0])) {
    if (vector_lanes(args[0]) != lanes) {
      error_here("cannot convert a " + type_text(args[0].type) + " to " + type_name);
    }
    for (uint32_t lane = 0; lane < lanes; ++lane) values.push_back(convert_explicit(vector_lane(args[0], lane), scalar));
  } else if (args.size() == 1) {
    const krvk_value one = convert_explicit(args[0], scalar);
    values.assign(lanes, one);
  } else if (args.size() == lanes) {
    for (const krvk_value& arg : args) values.push_back(convert_explicit(arg, scalar));
  } else {
    error_here("'" + type_name + "' expects 1 or " + std::to_string(lanes) + " values but got " + std::to_string(args.size()));
  }
  return make_vector(std::move(values));
}
