// Where each application of a record begins, for tools that watch the pass's
// registry calls: they cut the calls by these marks, never by guessing from
// which calls the pass happens to make (a key may stay open across lines).
#pragma once

#include <cstddef>

#include "engine/user_profiles.h"

namespace km {

class PassObserver {
public:
    virtual ~PassObserver() = default;
    // The profiles the per-user lines reach, in the order the pass uses them
    // (`profile` below indexes it), hives marked as loaded; none when no
    // line needs them. Told once, before the first record is applied.
    virtual void ProfilesPrepared(const ProfileList&) {}
    // The calls from here on apply record `record` (0-based, file order) at
    // its machine root (profile -1) or for profile `profile` of the prepared
    // list. A record that reaches no profile has no application.
    virtual void ApplicationStarts(std::size_t record, int profile) = 0;
    // No record is applied from here on.
    virtual void RecordsEnd() = 0;
};

}  // namespace km
