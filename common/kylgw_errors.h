#ifndef KYLGW_ERRORS_H
#define KYLGW_ERRORS_H

// Named result codes of the gateway client library that are not negated
// errno values.  Client operations return 0 (or a count/descriptor) on
// success and one of these, or a negated errno, on failure.

// No gateway session could be set up; every operation that needs one fails
// with this code (the client library's "unable to set up communication").
constexpr int NXAPI_E_NOSESSION = -50;

#endif
