#pragma once
// The page channel's vocabulary in one include: `RPC` is a namespace holding the decoded request
// (`RPC::Request`) and the channel failures (`RPC::Failure`), with the outgoing side beside them.

#include "KestromKit/core/RPCEnvelope.h"
#include "KestromKit/core/RPCFailure.h"
#include "KestromKit/core/RPCRequest.h"
