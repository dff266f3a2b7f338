// PyEvent, PyItem, PyModelUsage, PyUsage and PyFileChange: read-only views of core records.
#include "event_objects.h"

namespace vantrel::py {
namespace {

// PyEvent: the item, usage and error exist only for the kinds that carry them.
std::string_view event_type_word(const EventRecord& event) { return event.type_text(); }
std::string_view event_run_id(const EventRecord& event) { return event.run_id(); }
std::string_view event_thread_id(const EventRecord& event) { return event.thread_id(); }
std::string_view event_raw(const EventRecord& event) { return event.raw(); }
// The item object shares the event's record; the usage object holds a copy of its usage.
ref event_item(const SharedEvent& event) {
  return event->has_item() ? to_py(std::shared_ptr<const ItemRecord>(event, event->item()))
                           : none();
}
ref event_usage(const SharedEvent& event) {
  return event->has_usage() ? to_py(std::make_shared<const Usage>(event->usage())) : none();
}
ref event_error(const EventRecord& event) {
  return event.has_error() ? to_py(event.message()) : none();
}

PyGetSetDef event_getset[] = {
    readonly("type", get_with<event_type_word>),      readonly("run_id", get_with<event_run_id>),
    readonly("thread_id", get_with<event_thread_id>), readonly("raw", get_with<event_raw>),
    readonly("item", get_with<event_item>),           readonly("usage", get_with<event_usage>),
    readonly("error", get_with<event_error>),         getset_end,
};

// PyItem: a text the item does not carry reads as "".
template <ItemText Which>
ref item_text(const ItemRecord& item) {
  std::string scratch;
  return to_py(item.text(Which, scratch));
}
std::string_view item_type_word(const ItemRecord& item) { return item.kind_text(); }
std::optional<std::int32_t> item_exit_code(const ItemRecord& item) { return item.exit_code(); }
// The changes share the item's record.
std::vector<FileChange> item_changes(const std::shared_ptr<const ItemRecord>& item) {
  return changes_of(item);
}
std::vector<std::string_view> item_receiver_thread_ids(const ItemRecord& item) {
  auto ids = item.receiver_thread_ids();
  return {ids.begin(), ids.end()};
}

PyGetSetDef item_getset[] = {
    readonly("id", get_with<item_text<ItemText::Id>>),
    readonly("type", get_with<item_type_word>),
    readonly("status", get_with<item_text<ItemText::Status>>),
    readonly("text", get_with<item_text<ItemText::Text>>),
    readonly("message", get_with<item_text<ItemText::Message>>),
    readonly("command", get_with<item_text<ItemText::Command>>),
    readonly("aggregated_output", get_with<item_text<ItemText::AggregatedOutput>>),
    readonly("exit_code", get_with<item_exit_code>),
    readonly("raw", get_with<item_text<ItemText::Raw>>),
    readonly("changes", get_with<item_changes>),
    readonly("tool", get_with<item_text<ItemText::Tool>>),
    readonly("sender_thread_id", get_with<item_text<ItemText::SenderThreadId>>),
    readonly("receiver_thread_ids", get_with<item_receiver_thread_ids>),
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
    record_class<EventRecord>("builtins.PyEvent", "One decoded agent event.", event_getset);
TypeCell item_class = record_class<ItemRecord>("builtins.PyItem",
                                               "A typed projection of an agent item.", item_getset);
TypeCell model_usage_class = record_class<ModelUsage>(
    "builtins.PyModelUsage", "Per-model usage reported by an agent.", model_usage_getset);
TypeCell usage_class =
    record_class<Usage>("builtins.PyUsage", "Token usage reported by an agent.", usage_getset);
TypeCell file_change_class = record_class<FileChange>(
    "builtins.PyFileChange", "One file edit inside a `file_change` item.", file_change_getset);

}  // namespace

template <>
PyTypeObject* type_object<EventRecord>() {
  return event_class.get();
}
template <>
PyTypeObject* type_object<ItemRecord>() {
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
