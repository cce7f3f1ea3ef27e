#pragma once

namespace Orvix::Entities {

// What the PBX link knows of a leg at one moment: whether a call card for its phone is still of use.
enum class LegOutlook {
    Unknown,        // the link has not read the PBX's latest records yet
    Open,           // the call is up, and no other phone of it is talking (or this one is)
    Ended,          // the leg or its call has ended
    TakenElsewhere, // another phone of the call is talking
};

} // namespace Orvix::Entities
