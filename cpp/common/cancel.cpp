#include "common/cancel.h"

namespace halvex {

namespace {
// The run of this thread, and whether this thread opened it (only that one runs the check).
thread_local CancelScope* t_scope = nullptr;
thread_local bool t_owner = false;
}  // namespace

CancelScope::CancelScope(std::function<bool()> check)
    : check_(std::move(check)),
      next_check_(std::chrono::steady_clock::now() + kCheckInterval),
      outer_(t_scope),
      outer_owner_(t_owner) {
  t_scope = this;
  t_owner = true;
}

CancelScope::~CancelScope() {
  t_scope = outer_;
  t_owner = outer_owner_;
}

CancelScope* CancelScope::current() noexcept { return t_scope; }

CancelScope::Join::Join(CancelScope* scope) noexcept : outer_(t_scope), outer_owner_(t_owner) {
  t_scope = scope;
  t_owner = false;
}

CancelScope::Join::~Join() {
  t_scope = outer_;
  t_owner = outer_owner_;
}

void CancelScope::ask(bool owner) noexcept {
  if (!owner || !check_ || cancelled()) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_check_) return;
  next_check_ = now + kCheckInterval;
  if (check_()) cancel();
}

void cancel_point() {
  CancelScope* scope = t_scope;
  if (!scope) return;
  scope->ask(t_owner);
  // An inner run stops with the run around it.
  for (CancelScope* s = scope; s; s = s->outer_) {
    if (s->cancelled()) throw Cancelled();
  }
}

void poll_cancel() noexcept {
  if (t_scope) t_scope->ask(t_owner);
}

}  // namespace halvex
