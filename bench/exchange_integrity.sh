#!/usr/bin/env bash
# Builds and runs bench/exchange_integrity.cpp against this checkout's library.
#   bash bench/exchange_integrity.sh [EXCHANGES]   (default 10000 each way)
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
g++ -std=c++17 -O2 -ILibrary/include -ILibrary/src -Itests/cpp bench/exchange_integrity.cpp tests/cpp/support/EchoArm.cpp \
  Library/src/*.cpp Library/src/{IO,Devices,Discovery}/*.cpp Library/src/Platform/posix/*.cpp -lpthread -o build/exchange_integrity
exec build/exchange_integrity "$@"
