// The request intake: one table of the 29 attributes, read in order, each by its kind's rule.
#include "request_intake.h"

#include <array>

#include "errors.h"
#include "extract.h"

namespace vantrel::py {
namespace {

// `key` or `value` of one config element: a str, None refused.
std::string config_text(PyObject* element, const char* field) {
  ref value = checked(PyObject_GetAttrString(element, field));
  try {
    return text_of(value.get());
  } catch (const python_error&) {
    raise_field_error("ConfigData", field);
  }
}

ConfigData config_of(PyObject* element) {
  std::string key = config_text(element, "key");
  return {std::move(key), config_text(element, "value")};
}

// NumPy booleans are accepted by their type's identity, without importing NumPy.
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  ref module = ref::steal(PyObject_GetAttrString(type, "__module__"));
  ref name = ref::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  auto equals = [](const ref& text, const char* word) {
    return PyUnicode_Check(text.get()) && PyUnicode_CompareWithASCIIString(text.get(), word) == 0;
  };
  return equals(module, "numpy") && (equals(name, "bool_") || equals(name, "bool"));
}

bool flag_of(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  if (!is_numpy_bool(value)) raise_not_instance(value, "bool");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  ref to_bool = ref::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!to_bool) {
    PyErr_Clear();
    raise(PyExc_TypeError,
          "object of type '" + qualname_of(type) + "' does not define a '__bool__' conversion");
  }
  ref result = checked(PyObject_CallFunctionObjArgs(to_bool.get(), value, nullptr));
  if (result.get() != Py_True && result.get() != Py_False) raise_not_instance(result.get(), "bool");
  return result.get() == Py_True;
}

// One reader per extraction kind, storing into the field `Member`; None leaves it "not given".
template <auto Member>
void read_text(PyObject* value, ReqData& data) {
  if (value != Py_None) data.*Member = text_of(value);
}

template <auto Member>
void read_text_list(PyObject* value, ReqData& data) {
  if (value != Py_None) data.*Member = sequence_of<std::string>(value, text_of);
}

void read_config(PyObject* value, ReqData& data) {
  if (value != Py_None) data.config = sequence_of<ConfigData>(value, config_of);
}

template <auto Member>
void read_flag(PyObject* value, ReqData& data) {
  if (value != Py_None) data.*Member = flag_of(value);
}

void read_env(PyObject* value, ReqData& data) {
  if (value != Py_None) data.env = text_map_of(value);
}

struct Field {
  const char* name;
  void (*read)(PyObject* value, ReqData& data);
};

constexpr std::array<Field, 29> fields = {{
    {"prompt", read_text<&ReqData::prompt>},
    {"stdin", read_text<&ReqData::stdin_text>},
    {"dir", read_text<&ReqData::dir>},
    {"add_dirs", read_text_list<&ReqData::add_dirs>},
    {"images", read_text_list<&ReqData::images>},
    {"model", read_text<&ReqData::model>},
    {"profile", read_text<&ReqData::profile>},
    {"sandbox", read_text<&ReqData::sandbox_word>},
    {"approval", read_text<&ReqData::approval_word>},
    {"permission_mode", read_text<&ReqData::permission_mode>},
    {"allowed_tools", read_text_list<&ReqData::allowed_tools>},
    {"disallowed_tools", read_text_list<&ReqData::disallowed_tools>},
    {"config", read_config},
    {"enable", read_text_list<&ReqData::enable>},
    {"disable", read_text_list<&ReqData::disable>},
    {"strict_config", read_flag<&ReqData::strict_config>},
    {"persistent", read_flag<&ReqData::persistent>},
    {"ignore_user_config", read_flag<&ReqData::ignore_user_config>},
    {"ignore_rules", read_flag<&ReqData::ignore_rules>},
    {"require_git_repo", read_flag<&ReqData::require_git_repo>},
    {"output_schema_path", read_text<&ReqData::output_schema_path>},
    {"output_schema", read_text<&ReqData::output_schema>},
    {"output_last_message_path", read_text<&ReqData::output_last_message_path>},
    {"dangerously_bypass_sandbox", read_flag<&ReqData::dangerously_bypass_sandbox>},
    {"dangerously_bypass_hooks", read_flag<&ReqData::dangerously_bypass_hooks>},
    {"env", read_env},
    {"resume_id", read_text<&ReqData::resume_id>},
    {"resume_last", read_flag<&ReqData::resume_last>},
    {"resume_all", read_flag<&ReqData::resume_all>},
}};

// The attribute names, interned once per process.
PyObject* attribute_name(std::size_t index) {
  static std::array<PyObject*, fields.size()> names{};
  if (names[index] == nullptr) names[index] = PyUnicode_InternFromString(fields[index].name);
  if (names[index] == nullptr) throw_python_error();
  return names[index];
}

}  // namespace

ReqData extract_req_data(PyObject* object) {
  ReqData data;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    ref value = checked(PyObject_GetAttr(object, attribute_name(i)));
    try {
      fields[i].read(value.get(), data);
    } catch (const python_error&) {
      raise_field_error("ReqData", fields[i].name);
    }
  }
  return data;
}

std::variant<RunRequest, ErrorRecord> req_data_into_request(ReqData data) {
  if (data.sandbox_word) {
    data.sandbox = parse_sandbox_mode(*data.sandbox_word);
    if (!data.sandbox) return invalid_request_record("unknown sandbox mode: " + *data.sandbox_word);
  }
  if (data.approval_word) {
    data.approval = parse_approval_policy(*data.approval_word);
    if (!data.approval)
      return invalid_request_record("unknown approval policy: " + *data.approval_word);
  }
  if (auto refusal = env_name_refusal(data.env)) return invalid_request_record(std::move(*refusal));
  return static_cast<RunRequest&&>(std::move(data));
}

}  // namespace vantrel::py
