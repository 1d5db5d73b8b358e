#include "record.hpp"

#include <charconv>
#include <string>
#include <system_error>

namespace ecbcat {

std::string record_of(const Stamp& input) {
  return std::to_string(input.size) + " " + std::to_string(input.mtime) + " " +
         std::to_string(input.ctime);
}

std::optional<Stamp> stamp_from_record(std::string_view text) {
  Stamp s;
  long long* const fields[] = {&s.size, &s.mtime, &s.ctime};
  const char* at = text.data();
  const char* const end = at + text.size();
  for (long long* field : fields) {
    if (field != fields[0] && (at == end || *at++ != ' ')) return std::nullopt;
    const auto [next, error] = std::from_chars(at, end, *field);
    if (error != std::errc() || next == at) return std::nullopt;
    at = next;
  }
  if (at != end) return std::nullopt;
  return s;
}

Result rerun_verdict(const Existing& x, const Stamp& input, long long owner) {
  if (x.kind != Existing::file || (x.owner >= 0 && owner >= 0 && x.owner != owner)) {
    return Result::left_alone;
  }
  const bool whole = x.own.size == (input.size + 15) / 16 * 16;
  if (x.record) return *x.record == input && whole ? Result::done_before : Result::stale_output;
  // An output gets the input's data time after it is written, which changes the file's own
  // time: a file whose two times are one was written as it is, by someone else, even if within
  // the same tick of the clock as the input.
  if (x.own.mtime != input.mtime || x.own.ctime == x.own.mtime) return Result::left_alone;
  return whole && x.own.ctime >= input.ctime ? Result::done_before : Result::stale_output;
}

}  // namespace ecbcat
