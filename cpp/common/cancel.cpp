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

void CancelScope::ask(bool owner, bool now) noexcept {
  if (!owner || !check_ || cancelled()) return;
  const auto time = std::chrono::steady_clock::now();
  if (!now && time < next_check_) return;
  next_check_ = time + kCheckInterval;
  if (check_()) cancel();
}

void CancelScope::throw_if_cancelled() const {
  // An inner run stops with the run around it.
  for (const CancelScope* s = this; s; s = s->outer_) {
    if (s->cancelled()) throw Cancelled();
  }
}

void cancel_point() {
  if (!t_scope) return;
  t_scope->ask(t_owner, false);
  t_scope->throw_if_cancelled();
}

void cancel_point_now() {
  if (!t_scope) return;
  t_scope->ask(t_owner, true);
  t_scope->throw_if_cancelled();
}

void poll_cancel() noexcept {
  if (t_scope) t_scope->ask(t_owner, false);
}

}  // namespace halvex
