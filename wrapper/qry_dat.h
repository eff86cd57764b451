// Field values and row containers of the object wrapper. The engine hands
// every value over as text (or NULL); a field_value keeps what it was given
// and converts on demand.
#ifndef TARVIK_WRAPPER_QRY_DAT_H
#define TARVIK_WRAPPER_QRY_DAT_H

#include <cstdint>
#include <list>
#include <map>
#include <string>

namespace mornet {

enum fType {
  ft_String = 0,
  ft_Boolean = 1,
  ft_Char = 2,
  ft_WChar = 3,
  ft_WideString = 4,
  ft_Short = 5,
  ft_UShort = 6,
  ft_Long = 7,
  ft_ULong = 8,
  ft_Float = 9,
  ft_Double = 10,
  ft_LongDouble = 11,
  ft_Object = 12
};

class field_value {
 private:
  fType field_type;
  std::string str_value;
  // Long/ULong are 32-bit whatever the platform's long is.
  union {
    bool bool_value;
    char char_value;
    short short_value;
    unsigned short ushort_value;
    int32_t long_value;
    uint32_t ulong_value;
    float float_value;
    double double_value;
  };
  bool is_null;

 public:
  field_value();
  explicit field_value(const char *s);
  explicit field_value(const std::string &s);
  explicit field_value(bool b);
  explicit field_value(char c);
  explicit field_value(short s);
  explicit field_value(unsigned short us);
  explicit field_value(long l);
  explicit field_value(int i);
  explicit field_value(unsigned long ul);
  explicit field_value(float f);
  explicit field_value(double d);
  field_value(const field_value &fv);
  ~field_value() = default;

  fType get_fType() const { return field_type; }
  fType get_field_type() const { return field_type; }
  bool get_isNull() const { return is_null; }
  std::string get_asString() const;
  bool get_asBool() const;
  char get_asChar() const;
  short get_asShort() const;
  unsigned short get_asUShort() const;
  long get_asLong() const;
  int get_asInteger() const;
  unsigned long get_asULong() const;
  float get_asFloat() const;
  double get_asDouble() const;

  field_value &operator=(const char *s) {
    set_asString(s);
    return *this;
  }
  field_value &operator=(const std::string &s) {
    set_asString(s);
    return *this;
  }
  field_value &operator=(const field_value &fv);

  void set_isNull() { is_null = true; }
  void set_isNull(bool n) { is_null = n; }
  void set_asString(const char *s);
  void set_asString(const std::string &s);
  void set_asBool(bool b);
  void set_asChar(char c);
  void set_asShort(short s);
  void set_asUShort(unsigned short us);
  void set_asInteger(int i);
  void set_asLong(long l);
  void set_asULong(unsigned long l);
  void set_asFloat(float f);
  void set_asDouble(double d);

  // Name of the current type: "string", "bool", ... ; empty for the
  // declared-only types.
  std::string gft() const;
};

struct field_prop {
  std::string name;
  std::string display_name;
  fType type = ft_String;
  std::string field_table;
  bool read_only = false;
  unsigned int field_len = 0;
  unsigned int field_flags = 0;
  int idx = 0;
};

struct field {
  field_prop props;
  field_value val;
};

typedef std::map<int, field> Fields;
typedef std::map<int, field_prop> record_prop;
typedef std::map<int, field_value> sql_record;
typedef std::map<int, sql_record> query_data;

struct result_set {
  record_prop record_header;
  query_data records;
};

typedef std::map<std::string, field_value> ParamList;
typedef std::list<std::string> StringList;

}  // namespace mornet

#endif
