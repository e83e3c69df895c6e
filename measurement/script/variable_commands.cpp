// The variable command set: declarations, reads and assignments of
// variables, array and map literals, property reads and writes, null,
// undefined and the type name. Every command evaluates all its arguments
// first; a wrong number of values is error 9, a name that is not a string
// value error 10. Lists of names and pairs are processed front to back, and
// what earlier entries did stays when a later one fails.
#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"

using Value = APMPRuntimeValue;
using Type = APMPRuntimeValue::Type;
using platform::ErrorRef;

namespace {

// The text of a name argument; null with error 10 for anything but a
// string value.
const std::u16string* nameOf(const Value& value, ErrorRef& error) {
  const std::u16string* name = value.text();
  if (!name) APMPSetError(error, kAPMPErrorArgumentKind);
  return name;
}

bool evenCount(std::span<const Value> values, ErrorRef& error) {
  if (values.size() % 2 == 0) return true;
  APMPSetError(error, kAPMPErrorArgumentCount);
  return false;
}

// "3": assigns to a name some scope of the chain binds (error 2 when none
// does); the nearest binder takes the value unless it holds a constant.
Value assign(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 2, error)) return {};
  const std::u16string* name = nameOf(values[0], error);
  if (!name) return {};
  if (!scope.assignValue(values[1], *name)) {
    APMPSetError(error, kAPMPErrorUndeclaredVariable);
    return {};
  }
  return values[1];
}

// "52": name, value, ... each declared a constant of the current scope.
Value declareConstants(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!evenCount(values, error)) return {};
  for (size_t i = 0; i < values.size(); i += 2) {
    const std::u16string* name = nameOf(values[i], error);
    if (!name) return {};
    scope.addImmutableValue(values[i + 1], *name);
  }
  return {};
}

// "41": each name declared in the current scope, undefined.
Value declareVariables(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  for (const Value& value : values) {
    const std::u16string* name = nameOf(value, error);
    if (!name) return {};
    scope.addValue(Value(), *name);
  }
  return {};
}

// "7": a new array of the values.
Value arrayLiteral(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!APMPChargeWork(scope, values.size(), error)) return {};
  return Value(APMPObjectManager::arrayValueWithArray(std::vector<Value>(values.begin(), values.end()), scope));
}

// Calls `use` with the text form of a property (without a copy for a
// string value), its lookup charged; a failing conversion or charge
// answers undefined with its error.
template <class Use>
Value withPropertyName(const Value& property, APMPScope& scope, ErrorRef& error, Use use) {
  if (const std::u16string* name = property.text()) {
    if (!APMPChargeNameLookup(*name, scope, error)) return {};
    return use(*name);
  }
  const APMPTextForm name = APMPChargedText(property, scope, error);
  if (error || !APMPChargeNameLookup(name.text(), scope, error)) return {};
  return use(name.text());
}

// "8": key, value, ... a new map with each value under its key's text form.
Value mapLiteral(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!evenCount(values, error) || !APMPChargeWork(scope, values.size() / 2, error)) return {};
  const APMPRef<APMPMapValue> map = APMPObjectManager::mapValueWithScope(scope);
  for (size_t i = 0; i < values.size() && !error; i += 2) {
    withPropertyName(values[i], scope, error, [&](const std::u16string& key) {
      map->setValue(values[i + 1], key);
      return Value();
    });
  }
  if (error) return {};
  return Value(map);
}

// "15": the nearest binding of the name; undefined when none.
Value read(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return {};
  const std::u16string* name = nameOf(values[0], error);
  if (!name) return {};
  return scope.valueForName(*name);
}

// A property of a string: "length" in code units, or the code unit at an
// index below the length; undefined for anything else. Indexes are compared
// as doubles, before any conversion to an integer.
Value stringProperty(const std::u16string& text, const Value& property, APMPScope& scope, ErrorRef& error) {
  // Telling an index reads a text property whole.
  if (const std::u16string* name = property.text(); name && !APMPChargeNameLookup(*name, scope, error)) return {};
  if (APMPIsArrayIndex(property)) {
    const double index = property.doubleValueOrError(error);
    if (index < static_cast<double>(text.size())) return Value::string(std::u16string(1, text[static_cast<size_t>(index)]));
    return {};
  }
  if (property.isNumber()) return {};
  return withPropertyName(property, scope, error, [&](const std::u16string& name) {
    return name == u"length" ? Value::number(static_cast<double>(text.size())) : Value();
  });
}

// "16", "17": target, property.
Value propertyRead(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 2, error)) return {};
  const Value& target = values[0];
  const Value& property = values[1];
  if (const APMPArrayValue* array = target.asArray()) return array->valueForProperty(property, scope, error);
  if (const APMPPropertyCarrierValue* carrier = target.asPropertyCarrier()) {
    return withPropertyName(property, scope, error,
                            [carrier](const std::u16string& name) { return carrier->valueForProperty(name); });
  }
  if (const std::u16string* text = target.text()) return stringProperty(*text, property, scope, error);
  return {};
}

// "43": target, property, value; answers the value. Null and undefined
// refuse (error 6); numbers, strings and booleans store nothing.
Value propertyWrite(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 3, error)) return {};
  const Value& target = values[0];
  const Value& value = values[2];
  if (target.isNull() || target.isUndefined()) {
    APMPSetError(error, kAPMPErrorPropertyOfNothing);
    return {};
  }
  if (APMPArrayValue* array = target.asArray()) {
    array->setValue(value, values[1], scope, error);
    return value;
  }
  if (APMPPropertyCarrierValue* carrier = target.asPropertyCarrier()) {
    return withPropertyName(values[1], scope, error, [&](const std::u16string& name) {
      carrier->setValue(value, name);
      return value;
    });
  }
  return value;
}

// "40": the name of the value's type; null, arrays, maps and everything
// else are "object".
Value typeName(std::span<const Value> values, APMPScope&, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return {};
  switch (values[0].type()) {
    case Type::Boolean:
      return Value::string(u"boolean");
    case Type::Function:
      return Value::string(u"function");
    case Type::Number:
      return Value::string(u"number");
    case Type::String:
      return Value::string(u"string");
    case Type::Undefined:
      return Value::string(u"undefined");
    default:
      return Value::string(u"object");
  }
}

// "45", "44": the values were evaluated for their effects.
Value null(std::span<const Value>, APMPScope&, ErrorRef&) { return Value::null(); }
Value undefined(std::span<const Value>, APMPScope&, ErrorRef&) { return {}; }

constexpr APMPCommandEntry kVariableCommands[] = {
    {u"3", APMPWithEvaluatedArguments<assign>},
    {u"52", APMPWithEvaluatedArguments<declareConstants>},
    {u"7", APMPWithEvaluatedArguments<arrayLiteral>},
    {u"8", APMPWithEvaluatedArguments<mapLiteral>},
    {u"15", APMPWithEvaluatedArguments<read>},
    {u"16", APMPWithEvaluatedArguments<propertyRead>},
    {u"17", APMPWithEvaluatedArguments<propertyRead>},
    {u"45", APMPWithEvaluatedArguments<null>},
    {u"43", APMPWithEvaluatedArguments<propertyWrite>},
    {u"40", APMPWithEvaluatedArguments<typeName>},
    {u"44", APMPWithEvaluatedArguments<undefined>},
    {u"41", APMPWithEvaluatedArguments<declareVariables>},
};

}  // namespace

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator() : APMPCommandEvaluator(kVariableCommands) {}
