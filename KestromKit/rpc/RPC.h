#pragma once
// The page channel's vocabulary in one include: `RPC` is a namespace holding the decoded request
// (`RPC::Request`) and the channel failures (`RPC::Failure`), with the outgoing side beside them.

#include "KestromKit/rpc/RPCEnvelope.h"
#include "KestromKit/rpc/RPCFailure.h"
#include "KestromKit/rpc/RPCRequest.h"
