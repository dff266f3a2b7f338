// PyEvent, PyItem, PyModelUsage, PyUsage and PyFileChange: read-only views of core records.
#include "event_objects.h"

namespace vantrel::py {
namespace {

// PyEvent: the item, usage and error exist only for the kinds that carry them.
std::string_view event_type_word(const Event& event) { return event.type.text(); }
// The item and usage objects share the event's record.
ref event_item(const SharedEvent& event) {
  return event->has_item() ? to_py(std::shared_ptr<const Item>(event, &event->item)) : none();
}
ref event_usage(const SharedEvent& event) {
  return event->has_usage() ? to_py(std::shared_ptr<const Usage>(event, &event->usage)) : none();
}
ref event_error(const Event& event) { return event.has_error() ? to_py(event.message) : none(); }

PyGetSetDef event_getset[] = {
    readonly("type", get_with<event_type_word>),
    readonly("run_id", get_field<&Event::run_id>),
    readonly("thread_id", get_field<&Event::thread_id>),
    readonly("raw", get_field<&Event::raw>),
    readonly("item", get_with<event_item>),
    readonly("usage", get_with<event_usage>),
    readonly("error", get_with<event_error>),
    getset_end,
};

std::string_view item_type_word(const Item& item) { return item.kind.text(); }

PyGetSetDef item_getset[] = {
    readonly("id", get_field<&Item::id>),
    readonly("type", get_with<item_type_word>),
    readonly("status", get_field<&Item::status>),
    readonly("text", get_field<&Item::text>),
    readonly("message", get_field<&Item::message>),
    readonly("command", get_field<&Item::command>),
    readonly("aggregated_output", get_field<&Item::aggregated_output>),
    readonly("exit_code", get_field<&Item::exit_code>),
    readonly("raw", get_field<&Item::raw>),
    readonly("changes", get_field<&Item::changes>),
    readonly("tool", get_field<&Item::tool>),
    readonly("sender_thread_id", get_field<&Item::sender_thread_id>),
    readonly("receiver_thread_ids", get_field<&Item::receiver_thread_ids>),
    getset_end,
};

PyGetSetDef model_usage_getset[] = {
    readonly("input_tokens", get_field<&ModelUsage::input_tokens>),
    readonly("output_tokens", get_field<&ModelUsage::output_tokens>),
    readonly("cache_read_input_tokens", get_field<&ModelUsage::cache_read_input_tokens>),
    readonly("cache_creation_input_tokens", get_field<&ModelUsage::cache_creation_input_tokens>),
    readonly("web_search_requests", get_field<&ModelUsage::web_search_requests>),
    readonly("cost_usd", get_field<&ModelUsage::cost_usd>),
    readonly("context_window", get_field<&ModelUsage::context_window>),
    readonly("max_output_tokens", get_field<&ModelUsage::max_output_tokens>),
    getset_end,
};

PyGetSetDef usage_getset[] = {
    readonly("input_tokens", get_field<&Usage::input_tokens>),
    readonly("cached_input_tokens", get_field<&Usage::cached_input_tokens>),
    readonly("cache_creation_input_tokens", get_field<&Usage::cache_creation_input_tokens>),
    readonly("output_tokens", get_field<&Usage::output_tokens>),
    readonly("reasoning_output_tokens", get_field<&Usage::reasoning_output_tokens>),
    readonly("total_tokens", get_field<&Usage::total_tokens>),
    readonly("total_cost_usd", get_field<&Usage::total_cost_usd>),
    readonly("model_usage", get_field<&Usage::model_usage>),
    getset_end,
};

PyGetSetDef file_change_getset[] = {
    readonly("path", get_field<&FileChange::path>),
    readonly("kind", get_field<&FileChange::kind>),
    getset_end,
};

TypeCell event_class =
    record_class<Event>("builtins.PyEvent", "One decoded agent event.", event_getset);
TypeCell item_class =
    record_class<Item>("builtins.PyItem", "A typed projection of an agent item.", item_getset);
TypeCell model_usage_class = record_class<ModelUsage>(
    "builtins.PyModelUsage", "Per-model usage reported by an agent.", model_usage_getset);
TypeCell usage_class =
    record_class<Usage>("builtins.PyUsage", "Token usage reported by an agent.", usage_getset);
TypeCell file_change_class = record_class<FileChange>(
    "builtins.PyFileChange", "One file edit inside a `file_change` item.", file_change_getset);

}  // namespace

template <>
PyTypeObject* type_object<Event>() {
  return event_class.get();
}
template <>
PyTypeObject* type_object<Item>() {
  return item_class.get();
}
template <>
PyTypeObject* type_object<ModelUsage>() {
  return model_usage_class.get();
}
template <>
PyTypeObject* type_object<Usage>() {
  return usage_class.get();
}
template <>
PyTypeObject* type_object<FileChange>() {
  return file_change_class.get();
}

}  // namespace vantrel::py
