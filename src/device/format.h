// Variable listings: "dev.var=value" pairs joined by "&", as the command
// replies report them.
#pragma once

#include "common.h"
#include "device/device.h"
#include "xstring.h"

// Writes key=val at buf, each side URL-encoded when urlenc, and returns the
// terminating NUL. The text is cut to bufsize bytes, terminator included, and
// never inside an escape; room for three characters per input character plus
// two always holds the whole pair.
char* fmt_key_val(char* buf, int bufsize, const char* key, const char* val, boolean_t urlenc);
// Appends one variable's pair (no trailing "&"). An unknown value reads "?".
void fmt_var2(const devicevar_t* var, xstring_p buf, boolean_t urlenc);
// Appends "pair&" for each of the num variables that is not hidden.
void fmt_vars2(const devicevar_t* const* vars, int num, xstring_p buf, boolean_t urlenc);
