#include "qry_dat.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace mornet {

namespace {

std::string fmtInt(long v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%li", v);
  return buf;
}

std::string fmtDouble(double v) {
  char buf[512];
  snprintf(buf, sizeof(buf), "%f", v);
  return buf;
}

// Truncate toward zero and wrap into 32 bits, so a huge or negative double
// never hits an undefined float-to-integer conversion.
uint32_t wrap32(double d) {
  if (!std::isfinite(d)) return 0;
  double t = std::trunc(d);
  double m = std::fmod(t, 4294967296.0);
  if (m < 0) m += 4294967296.0;
  return static_cast<uint32_t>(m);
}

}  // namespace

field_value::field_value() : field_type(ft_String), double_value(0), is_null(false) {}
field_value::field_value(const char *s) : field_value() { set_asString(s); }
field_value::field_value(const std::string &s) : field_value() { set_asString(s); }
field_value::field_value(bool b) : field_value() { set_asBool(b); }
field_value::field_value(char c) : field_value() { set_asChar(c); }
field_value::field_value(short s) : field_value() { set_asShort(s); }
field_value::field_value(unsigned short us) : field_value() { set_asUShort(us); }
field_value::field_value(long l) : field_value() { set_asLong(l); }
field_value::field_value(int i) : field_value() { set_asInteger(i); }
field_value::field_value(unsigned long ul) : field_value() { set_asULong(ul); }
field_value::field_value(float f) : field_value() { set_asFloat(f); }
field_value::field_value(double d) : field_value() { set_asDouble(d); }

field_value::field_value(const field_value &fv) : field_value() {
  *this = fv;
  // A copy keeps the NULL mark: a NULL read out of a dataset must stay NULL.
  is_null = fv.is_null;
}

field_value &field_value::operator=(const field_value &fv) {
  if (this == &fv) return *this;
  switch (fv.field_type) {
    case ft_String:
      set_asString(fv.get_asString());
      break;
    case ft_Boolean:
      set_asBool(fv.get_asBool());
      break;
    case ft_Char:
      set_asChar(fv.get_asChar());
      break;
    case ft_Short:
      set_asShort(fv.get_asShort());
      break;
    case ft_UShort:
      set_asUShort(fv.get_asUShort());
      break;
    case ft_Long:
      set_asLong(fv.get_asLong());
      break;
    case ft_ULong:
      set_asULong(fv.get_asULong());
      break;
    case ft_Float:
      set_asFloat(fv.get_asFloat());
      break;
    case ft_Double:
      set_asDouble(fv.get_asDouble());
      break;
    default:
      return *this;  // declared-only types carry nothing to copy
  }
  is_null = fv.is_null;
  return *this;
}

std::string field_value::get_asString() const {
  switch (field_type) {
    case ft_String:
      return str_value;
    case ft_Boolean:
      return bool_value ? "True" : "False";
    case ft_Char:
      return std::string(1, char_value);
    case ft_Short:
      return fmtInt(short_value);
    case ft_UShort:
      return fmtInt(ushort_value);
    case ft_Long:
      return fmtInt(long_value);
    case ft_ULong:
      return fmtInt(static_cast<long>(ulong_value));
    case ft_Float:
      return fmtDouble(float_value);
    case ft_Double:
      return fmtDouble(double_value);
    default:
      return "";
  }
}

bool field_value::get_asBool() const {
  switch (field_type) {
    case ft_String:
      return str_value == "True";
    case ft_Boolean:
      return bool_value;
    case ft_Char:
      return char_value == 'T';
    case ft_Short:
      return short_value != 0;
    case ft_UShort:
      return ushort_value != 0;
    case ft_Long:
      return long_value != 0;
    case ft_ULong:
      return ulong_value != 0;
    case ft_Float:
      return float_value != 0.0f;
    case ft_Double:
      return double_value != 0.0;
    default:
      return false;
  }
}

char field_value::get_asChar() const {
  switch (field_type) {
    case ft_String:
      return str_value.empty() ? 0 : str_value[0];
    case ft_Boolean:
      return bool_value ? 'T' : 'F';
    case ft_Char:
      return char_value;
    case ft_Short:
    case ft_UShort:
    case ft_Long:
    case ft_ULong:
    case ft_Float:
    case ft_Double:
      return get_asString()[0];
    default:
      return 0;
  }
}

long field_value::get_asLong() const {
  switch (field_type) {
    case ft_String:
      return atoi(str_value.c_str());
    case ft_Boolean:
      return bool_value ? 1 : 0;
    case ft_Char:
      return char_value;
    case ft_Short:
      return short_value;
    case ft_UShort:
      return ushort_value;
    case ft_Long:
      return long_value;
    case ft_ULong:
      return ulong_value;
    case ft_Float:
      return static_cast<int32_t>(wrap32(float_value));
    case ft_Double:
      return static_cast<int32_t>(wrap32(double_value));
    default:
      return 0;
  }
}

int field_value::get_asInteger() const { return static_cast<int>(get_asLong()); }

unsigned long field_value::get_asULong() const {
  switch (field_type) {
    case ft_Float:
      return wrap32(float_value);
    case ft_Double:
      return wrap32(double_value);
    case ft_ULong:
      return ulong_value;
    default:
      return static_cast<uint32_t>(get_asLong());
  }
}

short field_value::get_asShort() const {
  return static_cast<short>(static_cast<uint16_t>(get_asULong() & 0xffff));
}

unsigned short field_value::get_asUShort() const {
  return static_cast<unsigned short>(get_asULong() & 0xffff);
}

double field_value::get_asDouble() const {
  switch (field_type) {
    case ft_String:
      return atof(str_value.c_str());
    case ft_Boolean:
      return bool_value ? 1.0 : 0.0;
    case ft_Char:
      return char_value;
    case ft_Short:
      return short_value;
    case ft_UShort:
      return ushort_value;
    case ft_Long:
      return long_value;
    case ft_ULong:
      return ulong_value;
    case ft_Float:
      return float_value;
    case ft_Double:
      return double_value;
    default:
      return 0.0;
  }
}

float field_value::get_asFloat() const { return static_cast<float>(get_asDouble()); }

void field_value::set_asString(const char *s) {
  str_value = s ? s : "";
  field_type = ft_String;
}
void field_value::set_asString(const std::string &s) {
  str_value = s;
  field_type = ft_String;
}
void field_value::set_asBool(bool b) {
  bool_value = b;
  field_type = ft_Boolean;
}
void field_value::set_asChar(char c) {
  char_value = c;
  field_type = ft_Char;
}
void field_value::set_asShort(short s) {
  short_value = s;
  field_type = ft_Short;
}
void field_value::set_asUShort(unsigned short us) {
  ushort_value = us;
  field_type = ft_UShort;
}
void field_value::set_asInteger(int i) {
  long_value = i;
  field_type = ft_Long;
}
void field_value::set_asLong(long l) {
  long_value = static_cast<int32_t>(static_cast<uint32_t>(l));
  field_type = ft_Long;
}
void field_value::set_asULong(unsigned long l) {
  ulong_value = static_cast<uint32_t>(l);
  field_type = ft_ULong;
}
void field_value::set_asFloat(float f) {
  float_value = f;
  field_type = ft_Float;
}
void field_value::set_asDouble(double d) {
  double_value = d;
  field_type = ft_Double;
}

std::string field_value::gft() const {
  switch (field_type) {
    case ft_String:
      return "string";
    case ft_Boolean:
      return "bool";
    case ft_Char:
      return "char";
    case ft_Short:
      return "short";
    case ft_Long:
      return "long";
    case ft_Float:
      return "float";
    case ft_Double:
      return "double";
    default:
      return "";
  }
}

}  // namespace mornet
