// The audit trail of the endpoint: every request that asks for a change
// (rules, aliases, parameters, restores, kills, mediator control) is recorded
// after it was answered, with the client's uid and pid and the result,
// whether it succeeded or not. Reads are not recorded.
#pragma once
#include "pal/types.h"
#include "wire/request_protocol.h"

// Records the request of `length` bytes in `request` (header and data) that
// the client on `pipe` sent, and the reply header built for it. A request
// too short or without the signature is not one: it is not recorded.
void AuditRequest(HANDLE pipe, const BYTE* request, DWORD length, const RequestHeader& reply);
