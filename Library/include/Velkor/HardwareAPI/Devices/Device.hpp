#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Velkor/HardwareAPI/Devices/FrameScanner.hpp"
#include "Velkor/HardwareAPI/Devices/Outcome.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

namespace Velkor::HardwareAPI::Devices {

// The base of every device: framed writes and timed, framed reads over a stream
// it does not own.
//
// Time limits. Each wait for incoming bytes is bounded by read_timeout, and
// all the waits of one call share one deadline besides: kCallTimeoutMultiple
// read time-outs from the start of the call. That is enough for the longest
// reply a device sends in full (the arm's identifier query: two header codes
// and a record) and for a failed exchange with its discard attempt, and it
// keeps a steady trickle of notification frames from stretching a call. A
// read_timeout that is not a finite positive number (0, negative, +inf, NaN)
// sets no limit. Every blocking wait also asks InterruptRequested() at least
// every kInterruptPollInterval once it has to block, and gives up when told to.
// A whole exchange that follows a failed one first waits out the failure's
// horizon (see BeginExchange); its own deadline starts after that.
struct Device {
  static constexpr size_t kBufferSize = 1024;
  static constexpr uint8_t kNotificationA = 0xBA;
  static constexpr uint8_t kNotificationB = 0xBB;
  static constexpr int kCallTimeoutMultiple = 3;

  Device(IO::SerialStream* stream, float read_timeout);
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Writes the first n bytes of tx_buffer.
  void WriteCommand(size_t n);
  // The next header code that is not a notification frame, or 0 on failure.
  uint8_t ReadHeaderCode();
  // Reads n bytes (at most kBufferSize) into the start of rx_buffer: n, or 0.
  uint32_t ReadPayload(size_t n);

  // Waits until at least k bytes are queued, within read_timeout (<= 0: no limit).
  bool WaitForBytes(size_t k) { return WaitForBytes(k, read_timeout); }
  bool WaitForBytes(size_t k, float timeout);

  float read_timeout;
  IO::SerialStream* stream;  // not owned; may be null only for raw access
  std::unique_ptr<uint8_t[]> tx_buffer;
  std::unique_ptr<uint8_t[]> rx_buffer;

  // How the last public call on this device ended, and how many calls failed
  // since construction.
  Outcome last_outcome = Outcome::Ok;
  uint64_t failures = 0;
  // Whole replies that answered no request of the call that found them (a
  // duplicate, or a reply that came after its call gave up): discarded.
  uint64_t stray_replies = 0;

  // One public call of a device type: its waits share one deadline (none for
  // a limit that is not a finite positive number of seconds), and how it
  // ended goes to last_outcome and failures once, when it ends. Calls nest (a
  // handle callback may call Receive again): each records its own outcome.
  //
  // A call made while another owner holds the stream's lease (see
  // IO::Lease) is refused: it touches neither the port nor the device (its
  // buffers, last_outcome and failures stay as the owner leaves them), and the
  // operation returns its failure value at once. Admits() tells beforehand.
  class Call {
   public:
    Call(Device& device, double limit_seconds);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    bool Refused() const { return refused_; }

   private:
    friend struct Device;
    struct State {
      bool active = false;
      bool limited = false;
      std::chrono::steady_clock::duration limit{};
      std::chrono::steady_clock::time_point deadline{};
      Outcome failure = Outcome::Ok;
    };
    Call(Device& device, double limit_seconds, bool record);
    Device& device_;
    State enclosing_;
    bool record_;
    bool refused_ = false;
    IO::SerialStream* entered_ = nullptr;  // the stream whose lease this call entered
  };

  // Whether a call on this thread was refused by a lease since the last
  // ForgetRefusal: how a caller tells a refused call from a failed one.
  static bool RefusedOnThisThread();
  static void ForgetRefusal();

  // Whether the calling thread may use the device now: no one else holds its
  // stream's lease.
  bool Admits() const { return stream == nullptr || stream->GetLease().Admits(); }

  // The limit of one call: kCallTimeoutMultiple read time-outs.
  double CallLimit() const;
  // Marks the current call failed (outside a call: nothing). The first cause
  // stays, except that a gone port explains more than a time-out, and an
  // interruption overrides all.
  void NoteFailure(Outcome outcome);
  // Marks the current call failed with `outcome` unless a cause is known.
  void NoteFailureIfUnexplained(Outcome outcome);
  bool CallFailed() const { return call_.failure != Outcome::Ok; }
  Outcome CallFailure() const { return call_.failure; }

  // A stream whose state an earlier failure left not good is made usable
  // again, as long as its port is open. False without an open port.
  bool RecoverStream();

  // Whole exchanges (a request and its reply in one call) keep the line in
  // step with the requests, using only what the protocol has: the length of
  // every frame and time.
  //
  // BeginExchange, before the request goes out: after a failed exchange it
  // first drains whatever arrives until that failure's horizon,
  // kHorizonMultiple read time-outs after the failed request (a late reply,
  // the rest of a split one, garbage), unless the caller paces its own
  // requests (wait_out_failure false). Then it discards the whole frames
  // queued now; replies among them answered no request of this call and are
  // counted in stray_replies. A frame still arriving is never cut: the
  // exchange reads it to its end after its request went out, as reading a
  // notification ahead of the reply would. Costs one count query when nothing
  // is queued. False without an open port or when interrupted.
  bool BeginExchange(bool wait_out_failure = true);
  // After the request went out: reads the rest of a frame that was arriving
  // when the exchange began (never into rx_buffer), within the read time-out.
  bool FinishFrame();
  // After a whole reply of `code` (payload of `size` bytes) was read into
  // rx_buffer: when further whole replies of the same code are queued right
  // behind it, the one read answered an earlier request (it came late, with
  // the reply to this one), so the latest takes its place in rx_buffer and the
  // others count as stray. False (a bad reply) when a byte queued right behind
  // the reply begins no frame: the reply was read off where the frames are.
  // Costs one count query when nothing is queued.
  bool TakeLatestReply(uint8_t code, size_t size);
  // Ends a whole exchange. A failure sets the horizon of its request (unless
  // the request never went out); a reply later than that cannot be told from a
  // fresh one.
  void EndExchange(bool ok);
  // For the split forms, which read the queue as it is: a frame that this
  // device's own reads began (a notification behind the last reply, what came
  // after a failure) is read to its end first, unless it has stood still for a
  // read time-out; then the next byte is taken for the start of a frame, as
  // their reads take it. False when that frame did not come in full.
  bool FollowQueueAsItIs();
  static constexpr int kHorizonMultiple = 3;

  // Requests sent whose reply has not begun to arrive, as far as the line
  // tells: each request counts one, each whole reply read or discarded takes
  // one off, unless the frames' boundaries are a guess that no reply has borne
  // out yet (then what looks like a reply may be the inside of another frame,
  // and the count waits for a reply that stands, or for its horizon). They
  // count until the horizon of the latest request (kHorizonMultiple read
  // time-outs; for a paced caller, kHorizonMultiple of its call limits but at
  // least kShortestOwedHorizon); a reply later than that cannot be told from a
  // fresh one.
  uint32_t Outstanding();
  // Replies given up as lost because their horizon passed while still owed: a
  // reply that comes after all cannot be told from a fresh one.
  uint64_t forgotten_replies = 0;
  // Whole replies that came while no request was owed one (counted as well in
  // stray_replies): after forgotten replies, the sign that they came after all.
  uint64_t unowed_replies = 0;
  // After its request went out, a paced exchange reads the replies still
  // owed to earlier requests (all but the last outstanding one, its own) as
  // whole frames, counted in stray_replies, before it reads its own. False
  // when they did not come within the call or a byte began no frame.
  bool SkipEarlierReplies();
  // Before a request: discards whole frames until no earlier request is owed
  // a reply or the horizon of the latest has passed; the call's limit starts
  // afresh after it. False when interrupted or the port went away.
  bool AwaitEarlierReplies();
  static constexpr uint32_t kMostOutstanding = 1024;
  // A paced caller's replies count as owed for at least this long.
  static constexpr std::chrono::milliseconds kShortestOwedHorizon{100};

  // The outcome of a stream read or write that fell short: a gone port or an
  // interruption when the port says so, otherwise `otherwise`.
  Outcome StreamFault(Outcome otherwise) const;
  // Where the frames on the line begin and end; set up by the device type,
  // which knows the payload length of each reply code.
  const FrameScanner& Line() const { return line_; }
  void SetReplyLengths(FrameScanner::PayloadLength lengths, FrameScanner::SecondCode second_code = nullptr) {
    line_ = FrameScanner(lengths, second_code);
  }

 private:
  enum class WaitEnd : uint8_t { Ready, TimedOut, Gone, Interrupted };
  WaitEnd Await(size_t k, float timeout);
  WaitEnd Wait(size_t k, float timeout);
  uint8_t ReadHeaderCodeInCall();
  // Reads what is queued into scratch_ through the scanner, at most `limit`
  // bytes: how many, or -1 when the stream failed.
  long ConsumeQueued(size_t limit);
  // Drains until `until`, giving up a frame that stops for a read time-out.
  bool DrainUntil(std::chrono::steady_clock::time_point until);
  // Takes the replies the scanner has completed since the last time off the
  // outstanding requests.
  void Settle();
  // Before the first exchange: discards what comes until the line pauses for
  // kQuietGap (at most kJoinLimit, half the call's limit), then takes the next
  // byte for the start of a frame.
  bool FindBoundary();
 public:
  // After an exchange on a line whose boundary was guessed (joined mid-frame,
  // or a frame given up as cut) has read its reply:
  // whether the line agrees it was a reply (nothing but whole notifications
  // follows it until the line falls quiet). Fails the exchange otherwise.
  bool JoinedReplyStands();
 private:
  static constexpr std::chrono::microseconds kQuietGap{500};
  static constexpr std::chrono::milliseconds kJoinLimit{20};
  std::chrono::steady_clock::duration OutstandingHorizon() const;

  Call::State call_;
  FrameScanner line_;
  // Discarded bytes go here, never into rx_buffer.
  std::unique_ptr<uint8_t[]> scratch_;
  std::chrono::steady_clock::time_point last_request_{};
  std::chrono::steady_clock::time_point last_arrival_{};  // bytes last seen coming in
  // How a reply read on a line whose boundary was guessed is checked: by a
  // pause after it (quiet at the first request), or by kJoinLimit of nothing
  // but notifications (joined mid-frame, or a frame given up as cut).
  enum class JoinCheck : uint8_t { None, Pause, Window };
  JoinCheck joined_ = JoinCheck::None;
  bool in_step_ = false;  // an exchange has ended: the scanner follows the frames
  uint64_t garbage_mark_ = 0;  // the scanner's garbage count when the last exchange ended
  bool horizon_set_ = false;
  std::chrono::steady_clock::time_point horizon_{};
  bool paced_ = false;  // the exchange under way waits out no earlier failure
  uint32_t outstanding_ = 0;
  // outstanding_ as the latest request left it.
  uint32_t owed_after_write_ = 0;
  uint64_t replies_settled_ = 0;
  std::chrono::steady_clock::time_point outstanding_until_{};
};

}  // namespace Velkor::HardwareAPI::Devices
