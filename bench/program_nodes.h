// Short builders of program nodes for the script benchmarks, so that each
// benchmark's program reads like the source it stands for.
#pragma once

#include <utility>
#include <vector>

#include "measurement/script/program_entity.h"

namespace bench_nodes {

using Entity = APMPProgramEntity;

inline Entity num(double value) { return Entity::number(value); }
inline Entity str(const char* text) { return Entity::string(text); }
inline Entity boolean(bool value) { return Entity::boolean(value); }
inline Entity stmt(const char* opcode, std::vector<Entity> operands = {}) {
  return Entity::statement(opcode, std::move(operands));
}
// A read of the variable `name`.
inline Entity var(const char* name) { return stmt("15", {str(name)}); }

}  // namespace bench_nodes
