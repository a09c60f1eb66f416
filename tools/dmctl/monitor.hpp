#pragma once
// `dmctl monitor`: decodes the feedback other programs' commands bring back.

#include "dmctl/cli.hpp"

namespace axiolink::dmctl {

Outcome run_monitor(const Settings& settings, const ParsedArgs& args);

}  // namespace axiolink::dmctl
