#include "device/format.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "util.h"

char* fmt_key_val(char* buf, int bufsize, const char* key, const char* val, boolean_t urlenc) {
  // The caller's room is honoured even though the usual callers size it for
  // the worst case: a server error text can encode to more than the reply
  // buffer holds.
  if (bufsize <= 0) return buf;
  xstring_t xs;
  xsinit(&xs, buf, bufsize);
  xsurlstropt(&xs, key, urlenc);
  xsstrcat(&xs, "=");
  xsurlstropt(&xs, val, urlenc);
  return xs.end;
}

void fmt_var2(const devicevar_t* var, xstring_p buf, boolean_t urlenc) {
  const char* devname = "";
  if (var->devid >= 0 && var->devid < NUM_DEVICE) devname = device_list[var->devid].devname;

  // Own terminated copies: the fields are fixed arrays.
  char varname[VARNAME_LEN];
  copy_str(varname, std::string_view(var->varname, strnlen(var->varname, VARNAME_LEN)));

  xsurlstropt(buf, devname, urlenc);
  xsstrcat(buf, ".");
  xsurlstropt(buf, varname, urlenc);
  xsstrcat(buf, "=");

  if (var->status == ST_UNKNOWN) {
    xsstrcat(buf, "?");
    return;
  }
  switch (var->vartype) {
    case VAR_STR: {
      char text[MAX_TINYVAL_STRLEN];
      copy_str(text, std::string_view(var->value.s, strnlen(var->value.s, MAX_TINYVAL_STRLEN)));
      xsurlstropt(buf, text, urlenc);
      break;
    }
    case VAR_INT:
    case VAR_UINT: {
      // An unsigned value of 2^31 or more prints negative, as it always has.
      char text[MAX_INT_STRLEN];
      std::snprintf(text, sizeof(text), "%d", static_cast<int>(var->value.i));
      xsurlstropt(buf, text, urlenc);
      break;
    }
    default:  // VAR_FLOAT has no text form
      break;
  }
}

void fmt_vars2(const devicevar_t* const* vars, int num, xstring_p buf, boolean_t urlenc) {
  for (int k = 0; k < num; ++k) {
    const devicevar_t* var = vars[k];
    if (var == nullptr || (var->flags & VARFL_HIDDEN) != 0) continue;
    fmt_var2(var, buf, urlenc);
    xsstrcat(buf, "&");
  }
}
