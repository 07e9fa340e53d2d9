// The top-level dispatcher: the handler of every reader's base frame, which
// recognises the seven kinds of top-level block.
#pragma once

#include "script/block_framework.h"

namespace kestrel {

const BlockHandler& TopLevelHandler();

}  // namespace kestrel
