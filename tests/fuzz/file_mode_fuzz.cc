// The file mode parser against the complete list of accepted texts.
//
// Exactly "", "r", "w", "rw" and "wr" are accepted, with the flags their
// letters name; every other text fails with UnrecognizedFileMode.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fs/file_handle.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using ferrowick::FileHandleType;
  const std::string_view mode(reinterpret_cast<const char*>(data), size);
  const auto parsed = ferrowick::file_handle_type_from_str(mode);
  const bool accepted = mode.empty() || mode == "r" || mode == "w" || mode == "rw" || mode == "wr";
  const std::string shown = ferrowick::fuzzing::escaped(mode);
  FUZZ_CHECK(parsed.has_value() == accepted, "mode " + shown);
  if (!parsed) {
    FUZZ_CHECK(parsed.error().kind() == ferrowick::IoError::Kind::UnrecognizedFileMode, "mode " + shown);
    return 0;
  }
  const bool read = mode.find('r') != std::string_view::npos, write = mode.find('w') != std::string_view::npos;
  FUZZ_CHECK(has_flag(*parsed, FileHandleType::READ) == read, "read flag of " + shown);
  FUZZ_CHECK(has_flag(*parsed, FileHandleType::WRITE) == write, "write flag of " + shown);
  const char* want = read && write ? "FileHandleType(READ | WRITE)"
                    : read         ? "FileHandleType(READ)"
                    : write        ? "FileHandleType(WRITE)"
                                   : "FileHandleType(0x0)";
  const std::string rendered = ferrowick::render_file_handle_type(*parsed);
  FUZZ_CHECK(rendered == want, "rendering " + rendered + " of " + shown);
  return 0;
}
