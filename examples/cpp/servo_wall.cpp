// Opens an arm's port, reads its identity, holds a wall under the tool for two
// seconds with the servo loop and prints the loop's figures.
//   servo_wall PORT [SECONDS]
// PORT: /dev/ttyACM0 (or COM3 on Windows); velkor-sim prints one to try with.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <Velkor/HardwareAPI/Devices/Vorlan3.hpp>
#include <Velkor/HardwareAPI/IO/SerialStream.hpp>
#include <Velkor/HardwareAPI/Servo/ServoLoop.hpp>
#include <Velkor/HardwareAPI/Version.hpp>

namespace api = Velkor::HardwareAPI;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  std::printf("VelkorHardwareAPI %s\n", api::kLibraryVersion);

  // The library reports line trouble as "[err] " lines and neutral results,
  // never by throwing: check the result of each call.
  api::IO::SerialStream stream(argv[1], true);
  if (!stream.IsOpen()) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  api::Devices::Vorlan3 arm(&stream, 0.5f);
  api::Devices::DeviceInfo info;
  if (arm.Wakeup(info) < 0) {
    std::fprintf(stderr, "no arm answered on %s (%s)\n", argv[1],
                 api::Devices::OutcomeName(arm.last_outcome));
    return 1;
  }
  std::printf("device %u, model %u, hardware %u, firmware %u\n", info.device_id, info.device_model_number,
              info.hardware_version, info.firmware_version);

  api::Servo::ServoOptions options;  // 1 kHz, force ramped in over 50 ms
  if (const char* why = api::Servo::Validate(options)) {
    std::fprintf(stderr, "options: %s\n", why);
    return 1;
  }
  api::Servo::ServoLoop loop(arm, options);

  // A floor at z = 0.225 m, 800 N/m with a little damping: an arm resting at
  // z = 0.22 m, as the simulated one does, is pushed up by about 4 N.
  api::Servo::Plane wall;
  wall.point = {0.0f, 0.0f, 0.225f};
  wall.normal = {0.0f, 0.0f, 1.0f};
  wall.stiffness = 800.0f;
  wall.damping = 2.0f;
  api::Servo::Effect effect = wall;
  if (const char* why = api::Servo::Validate(effect)) {
    std::fprintf(stderr, "wall: %s\n", why);
    return 1;
  }
  loop.Publish({effect}, 10.0f);

  if (const char* why = loop.Start()) {
    std::fprintf(stderr, "the servo loop did not start: %s\n", why);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const api::Servo::ServoState state = loop.State();
  loop.Stop();  // ends with a zero-force exchange

  const api::Servo::ServoStats stats = loop.Stats();
  std::printf("position %.4f %.4f %.4f m, force %.3f %.3f %.3f N\n", state.position[0], state.position[1],
              state.position[2], state.force[0], state.force[1], state.force[2]);
  std::printf("cycles %llu, rate %.1f Hz (target %.0f), period p50 %.1f us p99 %.1f us, "
              "exchange p50 %.1f us p99 %.1f us\n",
              static_cast<unsigned long long>(stats.cycles), stats.rate_hz, stats.target_rate_hz,
              stats.period_p50_us, stats.period_p99_us, stats.exchange_p50_us, stats.exchange_p99_us);
  std::printf("failures %llu, held cycles %llu, late cycles %llu, missed deadlines %llu\n",
              static_cast<unsigned long long>(stats.failures), static_cast<unsigned long long>(stats.held_cycles),
              static_cast<unsigned long long>(stats.late_cycles),
              static_cast<unsigned long long>(stats.missed_deadlines));
  return stats.cycles > 0 && stats.failures == 0 ? 0 : 1;
}
