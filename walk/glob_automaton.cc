#include "walk/glob_automaton.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace vorn_walk::glob {

void Nfa::loop(std::uint32_t set) {
  const std::uint32_t at = next();
  insts_.push_back({Op::split, 0, at + 1, at + 3});
  insts_.push_back({Op::set, 0, set});
  insts_.push_back({Op::jump, 0, at});
}

Nfa::Nfa(const std::vector<Item>& items, std::vector<ByteSet> classes) : sets_(std::move(classes)) {
  const auto not_slash = static_cast<std::uint32_t>(sets_.size());
  sets_.push_back(ByteSet().set().reset('/'));
  const std::uint32_t any = not_slash + 1;
  sets_.push_back(ByteSet().set());

  struct Group {
    std::uint32_t split;  // the split that enters the current alternative
    std::vector<std::uint32_t> exits;
  };
  std::vector<Group> groups;
  for (const Item& item : items) {
    switch (item.kind) {
      case Kind::literal: insts_.push_back({Op::byte, item.byte}); break;
      case Kind::any: insts_.push_back({Op::set, 0, not_slash}); break;
      case Kind::cls: insts_.push_back({Op::set, 0, item.cls}); break;
      case Kind::star: loop(not_slash); break;
      case Kind::any_text: loop(any); break;
      case Kind::opt_dirs: {
        const std::uint32_t at = next();
        insts_.push_back({Op::split, 0, at + 1, at + 5});
        loop(any);
        insts_.push_back({Op::byte, '/'});
        break;
      }
      case Kind::open:
        groups.push_back({next(), {}});
        insts_.push_back({Op::split, 0, next() + 1});
        break;
      case Kind::alt:
        groups.back().exits.push_back(next());
        insts_.push_back({Op::jump});
        insts_[groups.back().split].y = next();
        groups.back().split = next();
        insts_.push_back({Op::split, 0, next() + 1});
        break;
      case Kind::close: {
        // The last alternative is entered unconditionally.
        const std::uint32_t split = groups.back().split;
        insts_[split] = {Op::jump, 0, split + 1};
        for (std::uint32_t exit : groups.back().exits) insts_[exit].x = next();
        groups.pop_back();
        break;
      }
      case Kind::double_star:
      case Kind::comma: break;  // gone after lowering
    }
  }
  insts_.push_back({Op::match});
}

bool Nfa::matches(std::string_view candidate) const {
  std::vector<std::uint32_t> current, following, stack;
  // mark[pc] is the step at which pc last joined a state set.
  std::vector<std::size_t> mark(insts_.size(), SIZE_MAX);
  const auto add = [&](std::vector<std::uint32_t>& states, std::uint32_t pc, std::size_t step) {
    stack.push_back(pc);
    while (!stack.empty()) {
      pc = stack.back();
      stack.pop_back();
      if (mark[pc] == step) continue;
      mark[pc] = step;
      const Inst& inst = insts_[pc];
      if (inst.op == Op::split) {
        stack.push_back(inst.y);
        stack.push_back(inst.x);
      } else if (inst.op == Op::jump) {
        stack.push_back(inst.x);
      } else {
        states.push_back(pc);
      }
    }
  };
  add(current, 0, 0);
  for (std::size_t i = 0; i < candidate.size() && !current.empty(); ++i) {
    const auto b = static_cast<unsigned char>(candidate[i]);
    following.clear();
    for (std::uint32_t pc : current) {
      const Inst& inst = insts_[pc];
      if ((inst.op == Op::byte && inst.byte == b) || (inst.op == Op::set && sets_[inst.x][b])) {
        add(following, pc + 1, i + 1);
      }
    }
    std::swap(current, following);
  }
  return std::ranges::any_of(current, [&](std::uint32_t pc) { return insts_[pc].op == Op::match; });
}

}  // namespace vorn_walk::glob
