#include "Velkor/HardwareAPI/Devices/Device.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "Velkor/HardwareAPI/Interrupt.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"

namespace Velkor::HardwareAPI::Devices {

namespace {

constexpr const char* kFile = "Library/src/Device";
constexpr LogSite kHeaderTimeout{kFile, 78, "timeout waiting for header code"};
constexpr LogSite kHeaderReadFailed{kFile, 94, "unable to read header code from stream"};
constexpr LogSite kNotificationHeaderTimeout{kFile, 112, "timeout draining notification header"};
constexpr LogSite kNotificationPayloadTimeout{kFile, 128, "timeout draining notification payload"};
constexpr LogSite kPayloadTimeout{kFile, 153, "timeout waiting for bytes"};
constexpr LogSite kPayloadReadFailed{kFile, 163, "unable to read '%zu' bytes from stream"};

constexpr auto kSpinBeforeBlocking = std::chrono::microseconds(100);

using Clock = std::chrono::steady_clock;
// Beyond about thirty years a deadline would overflow the clock: no limit then.
constexpr double kLongestLimit = 1e9;
// Reads of one discard, at most: a device streaming as fast as it is read
// cannot hold a call.
constexpr int kConsumeReads = 32;

// A limit in seconds as a clock duration; false when it sets no limit.
bool LimitFrom(double seconds, Clock::duration& limit) {
  if (!(seconds > 0.0 && seconds < kLongestLimit)) return false;
  limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  return true;
}

// The count is compared unsigned: a wait for more bytes than a signed count
// can hold is simply never satisfied.
bool Enough(int32_t queued, size_t k) { return queued >= 0 && static_cast<uint64_t>(queued) >= k; }

// Logs only when the platform has an error to report; otherwise the failure is silent.
void LogIfError(const LogSite& site) {
  const int32_t code = Platform::LastError();
  if (code != 0) LogError(site.file, site.line, code, "%s", site.message);
}

thread_local bool refused_on_this_thread = false;

}  // namespace

bool Device::RefusedOnThisThread() { return refused_on_this_thread; }

void Device::ForgetRefusal() { refused_on_this_thread = false; }

Device::Call::Call(Device& device, double limit_seconds) : Call(device, limit_seconds, true) {}

Device::Call::Call(Device& device, double limit_seconds, bool record)
    : device_(device), record_(record) {
  if (device_.stream != nullptr) {
    if (!device_.stream->GetLease().Enter()) {
      refused_ = true;
      refused_on_this_thread = true;
      return;
    }
    entered_ = device_.stream;
  }
  enclosing_ = device_.call_;
  State& state = device_.call_;
  state = State{};
  state.active = true;
  Clock::duration limit{};
  state.limited = LimitFrom(limit_seconds, limit);
  if (state.limited) {
    state.limit = limit;
    state.deadline = Clock::now() + limit;
  }
}

Device::Call::~Call() {
  if (refused_) return;
  if (record_) {
    device_.last_outcome = device_.call_.failure;
    if (device_.call_.failure != Outcome::Ok) ++device_.failures;
  }
  device_.call_ = enclosing_;
  // Last: from here a loop may take the lease and use the device.
  if (entered_ != nullptr) entered_->GetLease().Leave();
}

Device::Device(IO::SerialStream* stream_, float read_timeout_)
    : read_timeout(read_timeout_),
      stream(stream_),
      tx_buffer(new uint8_t[kBufferSize]()),
      rx_buffer(new uint8_t[kBufferSize]()),
      scratch_(new uint8_t[kBufferSize]()) {}

double Device::CallLimit() const { return kCallTimeoutMultiple * static_cast<double>(read_timeout); }

void Device::NoteFailure(Outcome outcome) {
  Outcome& failure = call_.failure;
  if (!call_.active || outcome == Outcome::Ok || failure == Outcome::Interrupted) return;
  if (failure == Outcome::Ok || outcome == Outcome::Interrupted ||
      (outcome == Outcome::PortGone && failure == Outcome::Timeout)) {
    failure = outcome;
  }
}

void Device::NoteFailureIfUnexplained(Outcome outcome) {
  if (call_.active && call_.failure == Outcome::Ok) call_.failure = outcome;
}

Outcome Device::StreamFault(Outcome otherwise) const {
  if (stream == nullptr || !stream->IsOpen()) return Outcome::PortGone;
  switch (stream->LastFault()) {
    case IO::PortFault::Gone: return Outcome::PortGone;
    case IO::PortFault::Interrupted: return Outcome::Interrupted;
    default: return otherwise;
  }
}

void Device::WriteCommand(size_t n) {
  if (!Admits()) return;
  if (stream == nullptr) {
    NoteFailure(Outcome::PortGone);
    return;
  }
  if (n > kBufferSize) {
    NoteFailure(Outcome::WriteFailed);
    return;
  }
  last_request_ = Clock::now();
  // From here the request may reach the device, so a reply may come.
  Settle();
  if (outstanding_ < kMostOutstanding) ++outstanding_;
  owed_after_write_ = outstanding_;
  outstanding_until_ = last_request_ + OutstandingHorizon();
  stream->Write(tx_buffer.get(), n);
  if (stream->good()) return;
  NoteFailure(StreamFault(Outcome::WriteFailed));
  // What the device had not taken of a failed write is dropped: no reply is owed.
  if (outstanding_ > 0) --outstanding_;
  owed_after_write_ = outstanding_;
}

bool Device::RecoverStream() {
  if (stream == nullptr || !stream->IsOpen()) {
    NoteFailure(Outcome::PortGone);
    return false;
  }
  if (!stream->good()) stream->clear();
  return true;
}

long Device::ConsumeQueued(size_t limit) {
  long total = 0;
  int32_t queued = stream->Available();
  // A device that streams as fast as it is read cannot hold the call here.
  for (int reads = 0; queued > 0 && static_cast<size_t>(total) < limit && reads < kConsumeReads; ++reads) {
    const size_t n = std::min({static_cast<size_t>(queued), kBufferSize, limit - static_cast<size_t>(total)});
    stream->read(reinterpret_cast<char*>(scratch_.get()), static_cast<std::streamsize>(n));
    if (!stream->good()) {
      NoteFailure(StreamFault(Outcome::Timeout));
      return -1;
    }
    line_.Feed(scratch_.get(), n);
    total += static_cast<long>(n);
    queued = stream->Available();
  }
  return total;
}

bool Device::FinishFrame() {
  const uint64_t replies = line_.Replies();
  while (!line_.AtBoundary()) {
    const size_t needed = std::min(line_.Needed(), kBufferSize);
    if (Wait(needed, read_timeout) != WaitEnd::Ready) {
      // A frame cut here may go on later: its rest is no reply.
      line_.Resync();
      joined_ = JoinCheck::Window;
      return false;
    }
    if (ConsumeQueued(needed) < 0) return false;
  }
  stray_replies += line_.Replies() - replies;
  Settle();
  return true;
}

bool Device::DrainUntil(Clock::time_point until) {
  Clock::duration gap{};
  const bool gaps_end_frames = LimitFrom(read_timeout, gap);
  // A frame that stood still while the failed call waited for it has been
  // standing since then.
  auto last_byte = last_arrival_;
  const uint64_t replies = line_.Replies();
  for (;;) {
    const long got = ConsumeQueued(kBufferSize);
    if (got < 0) break;
    auto now = Clock::now();
    if (got > 0) last_byte = now;
    // A frame that stops for a whole read time-out was cut: the next byte
    // begins a frame.
    if (gaps_end_frames && !line_.AtBoundary() && now - last_byte >= gap) {
      line_.Resync();
      joined_ = JoinCheck::Window;
    }
    if (now >= until) break;
    auto wake = until;
    if (gaps_end_frames && !line_.AtBoundary()) wake = std::min(wake, last_byte + gap);
    const float left = std::max(std::chrono::duration<float>(wake - now).count(), 1e-6f);
    const WaitEnd end = Await(1, left);
    if (end == WaitEnd::Interrupted) NoteFailure(Outcome::Interrupted);
    if (end == WaitEnd::Gone) NoteFailure(Outcome::PortGone);
    if (end == WaitEnd::Interrupted || end == WaitEnd::Gone) break;
  }
  stray_replies += line_.Replies() - replies;
  Settle();
  return !CallFailed();
}

bool Device::BeginExchange(bool wait_out_failure) {
  if (!RecoverStream()) return false;
  if (horizon_set_) {
    const auto now = Clock::now();
    if (now >= horizon_) {
      horizon_set_ = false;
    } else if (wait_out_failure) {
      // The horizon is bounded by the read time-out as it is now, and the
      // exchange's own time starts after it.
      Clock::duration bound{};
      auto until = horizon_;
      if (LimitFrom(kHorizonMultiple * static_cast<double>(read_timeout), bound)) until = std::min(until, now + bound);
      const bool limited = call_.limited;
      call_.limited = false;
      const bool drained = DrainUntil(until);
      call_.limited = limited;
      call_.deadline = Clock::now() + call_.limit;
      // A drain cut short (interrupted, port gone) leaves the horizon pending:
      // the late reply may still come, and the next exchange waits it out.
      if (!drained) return false;
      horizon_set_ = false;
      outstanding_ = 0;
    }
  }
  paced_ = !wait_out_failure;
  const uint64_t replies = line_.Replies();
  const uint64_t garbage = line_.GarbageBytes();
  const long queued = ConsumeQueued(std::numeric_limits<size_t>::max());
  if (queued < 0) return false;
  stray_replies += line_.Replies() - replies;
  Settle();
  owed_after_write_ = outstanding_;
  // Before the first exchange, what was queued may begin anywhere (the tail of
  // a frame sent before the port opened, a byte a reader peeked at): no frame
  // of it is taken to be still arriving.
  if (!in_step_) {
    // A line that was quiet when the first exchange began is taken to be at a
    // boundary (a healthy line pays nothing); whole frames from the first byte
    // to the last: nothing is under way.
    if (queued == 0) {
      line_.Resync();
      // Unless a frame resumes right at the first request: a reply must then
      // be followed by a pause, not by more of that frame (one short look).
      joined_ = JoinCheck::Pause;
      return true;
    }
    // Replies before the first request answer none of it: the line was
    // joined mid-frame (or holds another host's replies).
    if (line_.GarbageBytes() == garbage && line_.Replies() == replies && line_.AtBoundary()) return true;
    joined_ = JoinCheck::Window;
    return FindBoundary();
  }
  return true;
}

bool Device::FindBoundary() {
  // A device writes each frame in one piece, so a frame that was under way
  // when the port opened ends with the first pause on the line: the next
  // byte begins a frame.
  const auto start = Clock::now();
  auto bound = start + kJoinLimit;
  if (call_.limited) bound = std::min(bound, start + call_.limit / 2);
  auto last_byte = start;
  bool ok = true;
  for (;;) {
    const long got = ConsumeQueued(kBufferSize);
    if (got < 0) {
      ok = false;
      break;
    }
    const auto now = Clock::now();
    if (got > 0) last_byte = now;
    if (now - last_byte >= kQuietGap || now >= bound) break;
    // A short wait with a bound of its own: no interruption check needed.
    const auto wake = std::min(last_byte + kQuietGap, bound);
    if (stream->WaitReadable(std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now)) ==
        Platform::WaitResult::Gone) {
      NoteFailure(Outcome::PortGone);
      ok = false;
      break;
    }
  }
  // What came before the boundary answered none of this device's requests.
  line_.Resync();
  replies_settled_ = line_.Replies();
  return ok;
}

bool Device::JoinedReplyStands() {
  if (joined_ == JoinCheck::None) return true;
  const bool window = joined_ == JoinCheck::Window;
  joined_ = JoinCheck::None;
  // The boundary was guessed from a pause (on joining the line, or when a
  // frame stood still and was given up as cut), and a frame that pauses inside
  // itself can fool the guess: what was read as this request's reply may be
  // the rest of that frame. A device answers a request once, so the reply
  // stands only if nothing but notifications follows it for kJoinLimit (at
  // most until the call's deadline): a further reply or a stray byte means
  // the guess was wrong, and the exchange fails rather than report another
  // frame's bytes. Only such exchanges wait; a line in step never does.
  const uint64_t replies = line_.Replies();
  const uint64_t garbage = line_.GarbageBytes();
  const auto start = Clock::now();
  auto bound = start + kJoinLimit;
  if (call_.limited) bound = std::min(bound, call_.deadline);
  auto last_byte = start;
  bool ok = true;
  for (;;) {
    const long got = ConsumeQueued(kBufferSize);
    if (got < 0) return false;
    if (line_.Replies() != replies || line_.GarbageBytes() != garbage) {
      ok = false;
      break;
    }
    const auto now = Clock::now();
    if (got > 0) last_byte = now;
    if (now >= bound) break;
    // On a line that was quiet at the first request, a pause after the reply will do.
    if (!window && now - last_byte >= kQuietGap && !line_.InReply()) break;
    // A frame under way after the gap has passed is waited for until the
    // bound (never with a wake-up already past, which would be no limit).
    auto wake = bound;
    if (!window && now - last_byte < kQuietGap) wake = std::min(bound, last_byte + kQuietGap);
    // A short wait with a bound of its own: no interruption check needed.
    if (stream->WaitReadable(std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now)) ==
        Platform::WaitResult::Gone) {
      NoteFailure(Outcome::PortGone);
      return false;
    }
  }
  if (ok && !line_.InReply()) return true;
  // The guess was wrong (or a late reply came): the boundaries stay a guess.
  joined_ = JoinCheck::Window;
  stray_replies += line_.Replies() - replies;
  Settle();
  NoteFailureIfUnexplained(Outcome::BadReply);
  return false;
}

bool Device::TakeLatestReply(uint8_t code, size_t size) {
  if (stream == nullptr || size + 1 > kBufferSize) return true;
  uint8_t* frame = scratch_.get();
  size_t filled = 0;
  const uint64_t garbage = line_.GarbageBytes();
  for (int reads = 0; reads < kConsumeReads; ++reads) {
    if (line_.AtBoundary()) {
      if (stream->Available() <= 0) return true;
      stream->read(reinterpret_cast<char*>(frame), 1);
      if (!stream->good()) break;
      line_.Feed(frame, 1);
      // A byte right behind the reply that begins no frame: the reply read was
      // not where the line has its frames (a stray byte that looked like its
      // code came first, and the real reply's last bytes are left over), so
      // what was read is no reading.
      if (line_.GarbageBytes() != garbage) {
        NoteFailureIfUnexplained(Outcome::BadReply);
        return false;
      }
      filled = 1;
      continue;
    }
    // Only what is queued: a frame still arriving is the next exchange's to
    // finish, unless it is a reply of the same kind already under way behind
    // the one read (a duplicate came late, and this request's reply right
    // after it): that one is waited for, within the call.
    const size_t needed = line_.Needed();
    if (filled + needed > kBufferSize) return true;
    if (stream->Available() < static_cast<int32_t>(needed)) {
      const bool same_reply = line_.InReply() && frame[0] == code && filled + needed == size + 1;
      if (!same_reply || Await(needed, read_timeout) != WaitEnd::Ready) return true;
    }
    stream->read(reinterpret_cast<char*>(frame + filled), static_cast<std::streamsize>(needed));
    if (!stream->good()) break;
    line_.Feed(frame + filled, needed);
    filled += needed;
    if (line_.AtBoundary() && frame[0] == code && filled == size + 1) {
      std::memcpy(rx_buffer.get(), frame + 1, size);
      ++stray_replies;
    }
  }
  if (!stream->good()) {
    stream->clear();
    line_.Resync();
  }
  return true;
}

bool Device::FollowQueueAsItIs() {
  if (!line_.AtBoundary()) {
    // After a failure the frame in progress is trusted while bytes still come
    // in; one that has stood still for a read time-out was cut.
    Clock::duration gap{};
    const bool still_coming = !LimitFrom(read_timeout, gap) || Clock::now() - last_arrival_ < gap;
    if (horizon_set_ ? still_coming : in_step_) return FinishFrame();
    joined_ = JoinCheck::Window;
  }
  line_.Resync();
  return true;
}

void Device::EndExchange(bool ok) {
  // A failed first exchange read a line it had not yet found the frames of:
  // what it parsed as replies may be the inside of other frames, and settles
  // none of the replies owed (the request's own stays owed until it comes or
  // its horizon passes), or a phantom would let the real one answer the next
  // request.
  const bool unsure = !ok && !in_step_;
  if (!unsure) Settle();
  const uint64_t garbage = line_.GarbageBytes();
  const bool junk = garbage != garbage_mark_;
  garbage_mark_ = garbage;
  if (ok) {
    horizon_set_ = false;
    in_step_ = true;
    return;
  }
  // What has come of the broken reply goes now; the rest is for the next
  // exchange to wait out.
  if (stream != nullptr && stream->IsOpen() && stream->good()) {
    const uint64_t replies = line_.Replies();
    if (ConsumeQueued(kBufferSize) >= 0) stray_replies += line_.Replies() - replies;
  }
  if (unsure) {
    replies_settled_ = line_.Replies();
    outstanding_ = std::max(outstanding_, owed_after_write_);
  }
  // From the first exchange on, the scanner has followed what was read; only
  // the very first may find the line anywhere.
  in_step_ = true;
  // Bytes that began no frame: the device sent junk, or the frames followed
  // are not where the line has them. The scanner finds its way back by itself,
  // but until a reply stands, where frames begin is a guess.
  if (junk) joined_ = JoinCheck::Window;
  Clock::duration limit{};
  if (LimitFrom(kHorizonMultiple * static_cast<double>(read_timeout), limit)) {
    horizon_ = last_request_ + limit;
    horizon_set_ = true;
  }
}

Clock::duration Device::OutstandingHorizon() const {
  // A paced caller waits for its replies within its own limit: a reply counts
  // as outstanding for as many of those limits as the horizon has read time-outs.
  if (paced_ && call_.limited) return std::max<Clock::duration>(call_.limit * kHorizonMultiple, kShortestOwedHorizon);
  Clock::duration limit{};
  if (LimitFrom(kHorizonMultiple * static_cast<double>(read_timeout), limit)) return limit;
  return std::chrono::hours(24);
}

void Device::Settle() {
  const uint64_t seen = line_.Replies();
  const uint64_t answered = seen - replies_settled_;
  replies_settled_ = seen;
  // While the frames' boundaries are a guess that no reply has yet borne out
  // (the line was joined, again after junk, or a frame was given up as cut),
  // what the scanner counts as replies may be the inside of other frames. Such
  // phantoms must not settle a reply still owed, or the real one would answer
  // the next request: the replies owed stay owed until a reply stands or their
  // horizon passes.
  if (joined_ != JoinCheck::None) return;
  if (answered > outstanding_) unowed_replies += answered - outstanding_;
  outstanding_ = answered >= outstanding_ ? 0 : outstanding_ - static_cast<uint32_t>(answered);
}

uint32_t Device::Outstanding() {
  Settle();
  // A reply under way has begun to answer its request.
  const uint32_t begun = line_.InReply() ? 1u : 0u;
  if (outstanding_ <= begun) return 0;
  if (Clock::now() >= outstanding_until_) {
    forgotten_replies += outstanding_ - begun;
    outstanding_ = 0;
    return 0;
  }
  return outstanding_ - begun;
}

bool Device::SkipEarlierReplies() {
  // Our own request is the last outstanding one; the replies before it answer
  // earlier requests and are read as whole frames, never as ours. A healthy
  // line owes none: one comparison.
  Settle();
  if (outstanding_ <= 1) return true;
  while (Outstanding() > 1) {
    const uint64_t replies = line_.Replies();
    if (ReadHeaderCode() == 0 && CallFailed()) return false;
    if (line_.InReply() && ReadPayload(line_.Needed()) == 0) {
      NoteFailureIfUnexplained(Outcome::Timeout);
      return false;
    }
    if (line_.Replies() == replies) {
      // A byte that begins no frame: whose it is cannot be told.
      NoteFailureIfUnexplained(Outcome::BadReply);
      return false;
    }
    ++stray_replies;
  }
  return true;
}

bool Device::AwaitEarlierReplies() {
  if (!RecoverStream()) return false;
  const bool limited = call_.limited;
  call_.limited = false;
  bool ok = true;
  const uint64_t replies = line_.Replies();
  for (;;) {
    if (ConsumeQueued(kBufferSize) < 0) {
      ok = false;
      break;
    }
    if (Outstanding() == 0) break;
    const auto now = Clock::now();
    const float left = std::max(std::chrono::duration<float>(outstanding_until_ - now).count(), 1e-6f);
    const WaitEnd end = Await(1, left);
    if (end == WaitEnd::Interrupted || end == WaitEnd::Gone) {
      NoteFailure(end == WaitEnd::Interrupted ? Outcome::Interrupted : Outcome::PortGone);
      ok = false;
      break;
    }
  }
  stray_replies += line_.Replies() - replies;
  call_.limited = limited;
  call_.deadline = Clock::now() + call_.limit;
  return ok;
}

Device::WaitEnd Device::Await(size_t k, float timeout) {
  if (stream == nullptr || !Admits()) return WaitEnd::Gone;
  if (call_.active && call_.failure == Outcome::Interrupted) return WaitEnd::Interrupted;
  const auto start = Clock::now();
  Clock::duration limit{};
  bool limited = LimitFrom(timeout, limit);
  auto deadline = start + limit;
  if (call_.active && call_.limited && (!limited || call_.deadline < deadline)) {
    deadline = call_.deadline;
    limited = true;
  }
  // A reply usually follows its request within tens of microseconds: a short
  // spin catches it without the cost of sleeping and waking up.
  // The spin ends with the deadline too: a limit shorter than the spin is kept.
  const auto spin_end = limited ? std::min(start + kSpinBeforeBlocking, deadline) : start + kSpinBeforeBlocking;
  int32_t queued = 0;
  // When bytes were last seen coming in: how long a frame has stood still.
  int32_t seen = -1;
  auto noticed = [&] {
    if (seen >= 0 && queued > seen) last_arrival_ = Clock::now();
    seen = queued;
  };
  do {
    queued = stream->Available();
    noticed();
    if (Enough(queued, k)) return WaitEnd::Ready;
  } while (Clock::now() < spin_end);
  // Asking for the count while the reply is still on its way costs more than
  // waiting for readability first, so from here the wait comes before the count.
  auto next_ask = Clock::now();
  for (;;) {
    const auto now = Clock::now();
    if (limited && now >= deadline) return Enough(stream->Available(), k) ? WaitEnd::Ready : WaitEnd::TimedOut;
    if (now >= next_ask) {
      if (InterruptRequested()) return WaitEnd::Interrupted;
      next_ask = now + InterruptPollInterval();
    }
    auto slice = next_ask - now;
    if (limited) slice = std::min(slice, deadline - now);
    // A port that went away will not deliver: fail now rather than at the deadline.
    const auto wait_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(slice);
    const auto waited = queued > 0 ? stream->WaitForMore(queued, wait_ns) : stream->WaitReadable(wait_ns);
    queued = stream->Available();
    noticed();
    if (Enough(queued, k)) return WaitEnd::Ready;
    if (waited == Platform::WaitResult::Gone) return WaitEnd::Gone;
  }
}

Device::WaitEnd Device::Wait(size_t k, float timeout) {
  const WaitEnd end = Await(k, timeout);
  switch (end) {
    case WaitEnd::Ready: break;
    case WaitEnd::TimedOut: NoteFailure(Outcome::Timeout); break;
    case WaitEnd::Gone: NoteFailure(Outcome::PortGone); break;
    case WaitEnd::Interrupted: NoteFailure(Outcome::Interrupted); break;
  }
  return end;
}

bool Device::WaitForBytes(size_t k, float timeout) { return Wait(k, timeout) == WaitEnd::Ready; }

uint8_t Device::ReadHeaderCode() {
  if (!Admits()) return 0;
  if (call_.active) return ReadHeaderCodeInCall();
  // On its own, too, a trickle of notifications cannot stretch the read.
  Call call(*this, CallLimit(), false);
  return ReadHeaderCodeInCall();
}

uint8_t Device::ReadHeaderCodeInCall() {
  if (stream == nullptr) {
    NoteFailure(Outcome::PortGone);
    return 0;
  }
  uint8_t* rx = rx_buffer.get();
  WaitEnd end = WaitEnd::Ready;
  // An interrupted wait is the caller's doing, not the line's: no line for it.
  auto wait_failed = [&](const LogSite& site) {
    if (end != WaitEnd::Interrupted) LogIfError(site);
    return uint8_t{0};
  };
  for (;;) {
    if ((end = Wait(1, read_timeout)) != WaitEnd::Ready) return wait_failed(kHeaderTimeout);
    stream->read(reinterpret_cast<char*>(rx), 1);
    if (!stream->good()) {
      NoteFailure(StreamFault(Outcome::Timeout));
      if (!stream->eof()) LogIfError(kHeaderReadFailed);
      return 0;
    }
    line_.Feed(rx, 1);
    const uint8_t code = rx[0];
    if (code != kNotificationA && code != kNotificationB) return code;

    uint8_t header[2] = {};
    if ((end = Wait(2, read_timeout)) != WaitEnd::Ready) return wait_failed(kNotificationHeaderTimeout);
    stream->read(reinterpret_cast<char*>(header), 2);
    if (!stream->good()) {
      NoteFailure(StreamFault(Outcome::Timeout));
      return 0;
    }
    line_.Feed(header, 2);
    const uint8_t length = header[1];
    if (length == 0) continue;
    if ((end = Wait(length, read_timeout)) != WaitEnd::Ready) return wait_failed(kNotificationPayloadTimeout);
    stream->read(reinterpret_cast<char*>(rx), length);
    if (!stream->good()) {
      NoteFailure(StreamFault(Outcome::Timeout));
      return 0;
    }
    line_.Feed(rx, length);
  }
}

uint32_t Device::ReadPayload(size_t n) {
  if (!Admits()) return 0;
  if (stream == nullptr) {
    NoteFailure(Outcome::PortGone);
    return 0;
  }
  if (n > kBufferSize) return 0;
  const WaitEnd end = Wait(n, read_timeout);
  if (end != WaitEnd::Ready) {
    if (end != WaitEnd::Interrupted) LogIfError(kPayloadTimeout);
    return 0;
  }
  stream->read(reinterpret_cast<char*>(rx_buffer.get()), static_cast<std::streamsize>(n));
  if (stream->good()) {
    line_.Feed(rx_buffer.get(), n);
    return static_cast<uint32_t>(stream->gcount());
  }
  NoteFailure(StreamFault(Outcome::Timeout));
  if (!stream->eof()) {
    const int32_t code = Platform::LastError();
    if (code != 0) LogError(kPayloadReadFailed.file, kPayloadReadFailed.line, code, kPayloadReadFailed.message, n);
  }
  return 0;
}

}  // namespace Velkor::HardwareAPI::Devices
