#pragma once

// What an output records of the input it was made from, and what a rerun makes of an output it
// finds: the same on every system, whether the file system keeps the record or only the times.

#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"

namespace ecbcat {

// What has an output's name, for a rerun: nothing; a file that may be an earlier output, with
// its own size and times and, where the file system keeps one, the record of the input it was
// made from; or something else (a folder, a link or junction, a device).
struct Existing {
  enum Kind { none, file, other } kind = none;
  Stamp own = {};
  std::optional<Stamp> record = {};
  long long owner = -1;  // its owner, where the system tells (-1: it does not)
};

// The record an output keeps of its input, as text, and read back (nothing if it is not one).
std::string record_of(const Stamp& input);
std::optional<Stamp> stamp_from_record(std::string_view text);

// What an output found at X is to a rerun over X.enc as it is now (`input`): done_before when it
// was made from it and is whole, stale_output when from another version of it or cut short,
// left_alone when it is not ours. Without a record, an output is taken for ours when it has the
// input's data time, set after it was written (so its own change time differs); then it is done
// when it is as long as the decryption and no change came to the input after it was made.
// `owner`: whom an output of this input belongs to (-1: no owner is told); a file of anyone else
// was planted, whatever its record or times say.
Result rerun_verdict(const Existing& x, const Stamp& input, long long owner);

}  // namespace ecbcat
