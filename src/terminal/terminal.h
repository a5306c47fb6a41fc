// The two terminal interfaces.
//
// Terminal: one command line in, output text or error text out.
// AsyncTerminal: a terminal whose input and output are independent byte
// streams (implemented by the user pool's shell sessions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.h"

namespace ferrowick {

// Output text on success, error text on failure.
using CommandResult = Expected<std::string, std::string>;

class Terminal {
 public:
  virtual ~Terminal() = default;
  virtual CommandResult run(std::string_view line) = 0;
};

class AsyncTerminal {
 public:
  virtual ~AsyncTerminal() = default;
  // Hands every byte of `data` to the terminal's input.
  virtual Expected<void, std::string> write(std::span<const std::uint8_t> data) = 0;
  // One read from the terminal's standard output (error) into `buffer`.
  virtual Expected<std::size_t, std::string> read_stdout(std::span<std::uint8_t> buffer) = 0;
  virtual Expected<std::size_t, std::string> read_stderr(std::span<std::uint8_t> buffer) = 0;
};

}  // namespace ferrowick
