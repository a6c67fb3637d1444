#include "stack/stack.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "stack/datagram.hpp"

namespace ferromesh::stack {

// The smallest time offered; a NaN loses against any number. Infinity is
// never: a request waiting on its segmentation state offers it, and that state
// offers its own time.
class EarliestDeadline {
 public:
  void offer(double t) noexcept {
    if (t == std::numeric_limits<double>::infinity()) return;
    if (!value_ || std::isnan(*value_) || t < *value_) value_ = t;
  }
  const std::optional<double>& value() const noexcept { return value_; }

 private:
  std::optional<double> value_;
};

namespace {

// Activity since the last tick counts as happening now, so a state is idle
// only when a whole tick interval passed without any.
template <class SegState>
void stamp_activity(SegState& state, double now) noexcept {
  if (!state.activity_since_tick) return;
  state.last_activity = now;
  state.activity_since_tick = false;
}

}  // namespace

void Stack::tick(double now, std::vector<Output>& out) {
  // NaN or infinity is no time: nothing is due at it, and nothing is measured from it.
  if (!std::isfinite(now)) return;
  time_base_ = now;
  EarliestDeadline earliest;
  resend_or_expire_requests(now, earliest, out);
  resend_or_expire_windows(now, earliest, out);
  abandon_stalled_reassemblies(now, earliest, out);
  if (registration_) earliest.offer(renew_registration(now, out));
  if (earliest.value()) out.push_back(output::Deadline{*earliest.value()});
}

void Stack::resend_or_expire_requests(double now, EarliestDeadline& earliest, std::vector<Output>& out) {
  std::vector<TransactionKey> expired;
  for (auto& [key, transaction] : transactions_) {
    if (!(now >= transaction.deadline)) {
      earliest.offer(transaction.deadline);
      continue;
    }
    if (transaction.retries < config_.apdu_retries && !transaction.datagram.empty()) {
      ++transaction.retries;
      transaction.deadline = config_.apdu_timeout_secs + now;
      out.push_back(output::Transmit{transaction.datagram, key.addr, key.invoke_id});
      earliest.offer(transaction.deadline);
    } else if (transaction.retries < config_.apdu_retries && transaction.delivered) {
      // A segmented request the device had whole but never answered: the
      // answer may be what was lost, so the request goes again, from segment 0.
      ++transaction.retries;
      transaction.deadline = std::numeric_limits<double>::infinity();
      SendSegState& sent = *transaction.delivered;
      auto [state, first] = SendSegState::create(std::move(sent.data), sent.dest, sent.header, sent.segment_size, now);
      transaction.delivered.reset();
      send_segments_.insert_or_assign(key, std::move(state));
      out.push_back(output::Transmit{std::move(first), key.addr, key.invoke_id});
    } else {
      out.push_back(output::Event{event::Timeout{key.invoke_id, key.addr}});
      expired.push_back(key);
    }
  }
  for (const TransactionKey& key : expired) end_transaction(key.addr, key.invoke_id);
}

void Stack::resend_or_expire_windows(double now, EarliestDeadline& earliest, std::vector<Output>& out) {
  std::vector<TransactionKey> expired;
  for (auto& [key, segments] : send_segments_) {
    stamp_activity(segments, now);
    if (!(now >= segments.last_activity + kSegmentTimeoutSecs)) {
      earliest.offer(segments.last_activity + kSegmentTimeoutSecs);
      continue;
    }
    if (segments.window_resends < config_.apdu_retries) {
      for (Bytes& frame : segments.resend_window(now)) {
        out.push_back(output::Transmit{std::move(frame), key.addr, key.invoke_id});
      }
      earliest.offer(now + kSegmentTimeoutSecs);
    } else {
      out.push_back(output::Event{event::Timeout{key.invoke_id, key.addr}});
      expired.push_back(key);
    }
  }
  for (const TransactionKey& key : expired) end_transaction(key.addr, key.invoke_id);
}

void Stack::abandon_stalled_reassemblies(double now, EarliestDeadline& earliest, std::vector<Output>& out) {
  std::vector<TransactionKey> stalled;
  for (auto& [key, reassembly] : recv_segments_) {
    stamp_activity(reassembly, now);
    const double silent = now - reassembly.last_activity;
    const double remind_at = reassembly.last_activity + kSegmentTimeoutSecs * (reassembly.reminders + 1);
    if (silent < kSegmentTimeoutSecs * kStalledTimeouts && now >= remind_at) {
      // The device re-sends its window once a timeout; but our SegmentACK may
      // be what was lost, and a device that waits for it sends nothing more:
      // say it again.
      reassembly.reminders = static_cast<int>(silent / kSegmentTimeoutSecs);
      if (!reassembly.last_ack.empty()) {
        out.push_back(output::Transmit{reassembly.last_ack, key.addr, std::nullopt});
      }
      earliest.offer(reassembly.last_activity + kSegmentTimeoutSecs * (reassembly.reminders + 1));
    } else if (now >= remind_at) {
      // The device would go on sending its segments until its own timeout.
      out.push_back(
          output::Transmit{datagram::abort(key.addr, {false, key.invoke_id, apdu::kAbortTsmTimeout}), key.addr,
                           std::nullopt});
      out.push_back(output::Event{event::Abort{key.invoke_id, kLocalAbortReason, key.addr}});
      stalled.push_back(key);
    } else {
      // A host that ticks only at deadlines must still come back to abandon it.
      earliest.offer(remind_at);
    }
  }
  for (const TransactionKey& key : stalled) end_transaction(key.addr, key.invoke_id);
}

}  // namespace ferromesh::stack
