#!/usr/bin/env bash
# Builds and runs bench/exchange_integrity.cpp against this checkout's library.
#   bash bench/exchange_integrity.sh [EXCHANGES]   (default 10000 each way)
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/bench-include/Velkor/HardwareAPI
# The export header CMake generates, as a static build of the library has it.
printf '#pragma once\n#define VELKOR_HWAPI_EXPORT\n' > build/bench-include/Velkor/HardwareAPI/Export.hpp
g++ -std=c++17 -O2 -ILibrary/include -Ibuild/bench-include -ILibrary/src -Itests/cpp bench/exchange_integrity.cpp tests/cpp/support/EchoArm.cpp \
  Library/src/*.cpp Library/src/{IO,Devices,Discovery}/*.cpp Library/src/Platform/posix/*.cpp -lpthread -o build/exchange_integrity
exec build/exchange_integrity "$@"
