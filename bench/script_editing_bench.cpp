// Cost of editing one event, as the engine pays it: build the event (ten
// parameters), hand it to the editor, and read the edited event back. The
// program's one edit callback reads three parameters, computes a number and
// a text, sets them as two new parameters and returns 0:
//
//   function (e) {
//     const price = e.getParamValue("price"), quantity = e.getParamValue("quantity"),
//           currency = e.getParamValue("currency");
//     e.setParamValue("total", price * quantity);
//     e.setParamValue("label", currency + " " + quantity);
//     return 0;
//   }
//
// Side by side, when the build found Duktape (an embeddable JavaScript
// interpreter, bench-only and optional), the same callback in JavaScript
// over the same event, with the same two methods as native functions. The
// baseline is building and reading the event alone, with the edit in C++.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/program_nodes.h"
#include "bench/ratio_reporter.h"
#include "measurement/script/event_editing.h"

#ifdef APM_BENCH_HAVE_DUKTAPE
#include <duktape.h>
#endif

namespace {

using namespace bench_nodes;
using platform::Object;

Entity method(const char* name, std::vector<Entity> arguments) {
  return stmt("2", {var("e"), str(name), stmt("7", std::move(arguments))});
}

APMPEditingProgram editProgram() {
  std::vector<Entity> function{str(""), stmt("7", {str("e")}),
                               stmt("52", {str("price"), method("getParamValue", {str("price")}), str("quantity"),
                                           method("getParamValue", {str("quantity")}), str("currency"),
                                           method("getParamValue", {str("currency")})}),
                               method("setParamValue", {str("total"), stmt("26", {var("price"), var("quantity")})}),
                               method("setParamValue", {str("label"), stmt("0", {stmt("0", {var("currency"), str(" ")}),
                                                                                  var("quantity")})}),
                               stmt("36", {num(0)})};
  return {{stmt("52", {str("register"), stmt("require", {str("internal.registerCallback")})}),
           stmt("register", {str("edit"), stmt("51", std::move(function)), stmt("8", {str("type"), str("edit")})})},
          {}};
}

// The engine's event, built from its own values every time.
APMPEvent makeEvent(int i) {
  return APMPEvent("purchase", 1700000000.0 + i,
                   {{"price", Object(12.5)},
                    {"quantity", Object(int64_t{1 + i % 5})},
                    {"currency", Object("EUR")},
                    {"item_id", Object("SKU-12345")},
                    {"item_name", Object("Blue shoes")},
                    {"item_category", Object("footwear")},
                    {"_o", Object("app")},
                    {"_c", Object(int64_t{1})},
                    {"_et", Object(int64_t{1200})},
                    {"engagement", Object(0.75)}});
}

// What the engine reads back from an edited event.
struct Readback {
  double total = 0;
  size_t labelLength = 0;
};
Readback readBack(const APMPEvent& event) {
  Readback result;
  result.total = event.parameterForName("total").doubleValue();
  const Object label = event.parameterForName("label");
  result.labelLength = label.isString() ? label.string()->size() : 0;
  return result;
}

constexpr int kEvents = 10000;

void reportEvents(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kEvents);
  state.counters["ns_per_event"] = benchmark::Counter(static_cast<double>(state.iterations()) * kEvents,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                                                      benchmark::Counter::OneK::kIs1000);
}

void BM_EditEvents(benchmark::State& state) {
  APMPEventEditing editor;
  platform::ErrorRef error;
  editor.loadProgram(editProgram(), &error);
  if (error) {
    state.SkipWithError("the program did not load");
    return;
  }
  for (auto _ : state) {
    for (int i = 0; i < kEvents; ++i) {
      APMPEvent event = makeEvent(i);
      editor.handleEvent(std::move(event), &error);
      if (!editor.hasEdits()) {
        state.SkipWithError("the event was not edited");
        return;
      }
      benchmark::DoNotOptimize(readBack(editor.eventContext().outputEvent()));
    }
  }
  reportEvents(state);
}
BENCHMARK(BM_EditEvents)->Unit(benchmark::kMillisecond);

// The same event built and read back, the edit done in C++.
void BM_NativeBaseline(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < kEvents; ++i) {
      APMPEvent event = makeEvent(i);
      const double price = event.parameterForName("price").doubleValue();
      const double quantity = event.parameterForName("quantity").doubleValue();
      const std::string currency = *event.parameterForName("currency").string();
      event.setParameter(Object(price * quantity), "total");
      event.setParameter(Object(currency + " " + std::to_string(static_cast<int>(quantity))), "label");
      benchmark::DoNotOptimize(readBack(event));
    }
  }
  reportEvents(state);
}
BENCHMARK(BM_NativeBaseline)->Unit(benchmark::kMillisecond);

#ifdef APM_BENCH_HAVE_DUKTAPE

// The event being edited, for the two native methods.
APMPEvent* gDuktapeEvent = nullptr;

void pushObject(duk_context* context, const Object& value) {
  if (value.isString()) {
    duk_push_lstring(context, value.string()->data(), value.string()->size());
  } else if (value.isNumber()) {
    duk_push_number(context, value.doubleValue());
  } else {
    duk_push_null(context);
  }
}

duk_ret_t getParamValue(duk_context* context) {
  pushObject(context, gDuktapeEvent->parameterForName(duk_to_string(context, 0)));
  return 1;
}

duk_ret_t setParamValue(duk_context* context) {
  const std::string name = duk_to_string(context, 0);
  if (duk_is_number(context, 1)) {
    gDuktapeEvent->setParameter(Object(duk_get_number(context, 1)), name);
  } else if (duk_is_null(context, 1)) {
    gDuktapeEvent->setParameter(Object(), name);
  } else {
    duk_size_t length = 0;
    const char* text = duk_to_lstring(context, 1, &length);
    gDuktapeEvent->setParameter(Object(std::string(text, length)), name);
  }
  duk_dup(context, 1);
  return 1;
}

void BM_EditEventsDuktape(benchmark::State& state) {
  duk_context* context = duk_create_heap_default();
  // The prototype of every event object: the two methods.
  duk_push_object(context);
  duk_push_c_function(context, getParamValue, 1);
  duk_put_prop_string(context, -2, "getParamValue");
  duk_push_c_function(context, setParamValue, 2);
  duk_put_prop_string(context, -2, "setParamValue");
  duk_put_global_string(context, "EventMethods");
  if (duk_peval_string(context,
                       "(function (e) {\n"
                       "  var price = e.getParamValue('price'), quantity = e.getParamValue('quantity'),\n"
                       "      currency = e.getParamValue('currency');\n"
                       "  e.setParamValue('total', price * quantity);\n"
                       "  e.setParamValue('label', currency + ' ' + quantity);\n"
                       "  return 0;\n"
                       "})") != 0) {
    state.SkipWithError("the callback did not compile");
    duk_destroy_heap(context);
    return;
  }
  duk_put_global_string(context, "callback");
  for (auto _ : state) {
    for (int i = 0; i < kEvents; ++i) {
      APMPEvent input = makeEvent(i);
      APMPEvent output = input;
      gDuktapeEvent = &output;
      duk_get_global_string(context, "callback");
      duk_push_object(context);
      duk_get_global_string(context, "EventMethods");
      duk_set_prototype(context, -2);
      const bool failed = duk_pcall(context, 1) != 0 || duk_get_int(context, -1) != 0;
      duk_pop(context);
      if (failed || output.isEqualToEvent(input)) {
        state.SkipWithError("the event was not edited");
        break;
      }
      benchmark::DoNotOptimize(readBack(output));
    }
  }
  gDuktapeEvent = nullptr;
  duk_destroy_heap(context);
  reportEvents(state);
}
BENCHMARK(BM_EditEventsDuktape)->Unit(benchmark::kMillisecond);

#endif

}  // namespace

int main(int argc, char** argv) {
  return runPairedBenchmarks(argc, argv,
                             {{"an edit of one event, built and read back (same run)",
                               {{"script against the same edit in C++", "BM_EditEvents", "BM_NativeBaseline"},
                                {"script against the same edit in Duktape", "BM_EditEvents", "BM_EditEventsDuktape"}}}});
}
