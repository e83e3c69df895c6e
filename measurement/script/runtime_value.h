// `APMPRuntimeValue`: every datum a script handles, as a 16-byte tagged value.
//
// Undefined, null, booleans, numbers, the break and continue values and the
// array hole marker are held inline; strings, maps, functions, arrays, return
// values and statements live in heap cells (`APMPCell`) with an intrusive,
// non-atomic reference count. Copying a value retains its cell; the cell is
// freed when its last value goes. Cells that can form cycles (maps,
// functions, arrays) are also tracked by an `APMPObjectManager`, whose
// collection releases their inner references once they are unreachable.
//
// Strings are immutable UTF-16 texts shared by every value that holds them.
// The shared values (undefined, null, true, false, break, continue, hole) have
// no cell, so any number of runtimes may hand them out at once. Everything
// else belongs to one runtime and is used by one thread at a time.
//
// Conversions report through an error slot (`platform::ErrorRef&`) that they
// set only on failure, answering the empty text, NaN or false with it.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/script/cell_memory.h"
#include "measurement/script/name_hash.h"
#include "platform/error.h"

class APMPScope;
class APMPMarker;
class APMPStringValue;
class APMPMapValue;
class APMPPropertyCarrierValue;
class APMPFunctionValue;
class APMPArrayValue;
class APMPControlValue;
class APMPStatementValue;
class APMPRuntimeValue;
class APMPObjectManager;
class APMPWorkingBytes;

// A command routine: receives a statement's arguments (unevaluated, or
// evaluated by the command set's wrapper), the current scope and the error
// slot, and answers a value (undefined with the error set on failure).
using APMPCommandHandler = APMPRuntimeValue (*)(std::span<const APMPRuntimeValue> arguments,
                                                APMPScope& scope, platform::ErrorRef& error);

// Base of every heap cell: the reference count and the collection mark.
// Destruction is iterative: a cell freed while another is being freed is
// queued, so releasing a deeply nested structure never recurses.
class APMPCell {
 public:
  APMPCell() = default;
  APMPCell(const APMPCell&) = delete;
  APMPCell& operator=(const APMPCell&) = delete;

  static void* operator new(size_t bytes) { return APMPCellMemory::allocate(bytes); }
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void operator delete(void* memory, size_t bytes) noexcept { APMPCellMemory::deallocate(memory, bytes); }

  void retain() const noexcept { ++header_.counts.references; }
  void release() const noexcept {
    if (--header_.counts.references == 0) destroy(this);
  }
  uint32_t referenceCount() const noexcept { return header_.counts.references; }

  // Marking: the epoch of the last collection that reached this cell, and
  // the cells it references (handed to the marker, which walks them
  // iteratively).
  uint32_t markEpoch() const noexcept { return header_.counts.markEpoch; }
  void setMarkEpoch(uint32_t epoch) noexcept { header_.counts.markEpoch = epoch; }
  virtual void markChildren(APMPMarker& marker);
  // Releases the cell's inner references once it is unreachable, so that
  // reference counting can free a cycle through it; the cell is not used
  // again. Nothing for cells that cannot take part in a cycle.
  virtual void sweep() {}
  // The bytes of the cell and of the storage it owns (not of the cells it
  // references), as the bound on what a runtime holds counts them. 0 for
  // statements: they are the program's, not values a program made.
  virtual size_t heldBytes() const noexcept { return 0; }

 protected:
  virtual ~APMPCell() = default;

 private:
  static void destroy(const APMPCell* cell) noexcept;
  // Once the count has reached zero the counts are dead, and the same bytes
  // link the cell into the queue of cells waiting to be freed.
  union Header {
    struct {
      uint32_t references;
      uint32_t markEpoch;
    } counts;
    const APMPCell* nextDying;
  };
  mutable Header header_{{0, 0}};
};

// An owning intrusive pointer to a cell.
template <class T>
class APMPRef {
 public:
  APMPRef() noexcept = default;
  APMPRef(std::nullptr_t) noexcept {}
  explicit APMPRef(T* cell) noexcept : cell_(cell) {
    if (cell_) cell_->retain();
  }
  template <class U>
  APMPRef(const APMPRef<U>& other) noexcept : APMPRef(other.get()) {}
  APMPRef(const APMPRef& other) noexcept : APMPRef(other.cell_) {}
  APMPRef(APMPRef&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
  ~APMPRef() {
    if (cell_) cell_->release();
  }
  APMPRef& operator=(APMPRef other) noexcept {
    std::swap(cell_, other.cell_);
    return *this;
  }
  T* get() const noexcept { return cell_; }
  T* operator->() const noexcept { return cell_; }
  T& operator*() const noexcept { return *cell_; }
  explicit operator bool() const noexcept { return cell_ != nullptr; }
  bool operator==(const APMPRef& other) const noexcept { return cell_ == other.cell_; }

 private:
  T* cell_ = nullptr;
};

template <class T, class... Args>
APMPRef<T> APMPMake(Args&&... args) {
  return APMPRef<T>(new T(std::forward<Args>(args)...));
}

class APMPRuntimeValue {
 public:
  enum class Type : uint8_t {
    Undefined,
    Null,
    Boolean,
    Number,
    Hole,  // the array hole marker; never reaches a script
    Break,
    Continue,
    // Heap values from here on.
    String,
    Map,  // maps and the classes derived from them
    Function,  // script functions and natives
    Array,
    Return,
    Statement,
  };

  constexpr APMPRuntimeValue() noexcept {}  // undefined
  APMPRuntimeValue(const APMPRuntimeValue& other) noexcept : bits_(other.bits_), type_(other.type_) {
    if (isHeap()) heapCell()->retain();
  }
  APMPRuntimeValue(APMPRuntimeValue&& other) noexcept : bits_(other.bits_), type_(other.type_) {
    other.type_ = Type::Undefined;
  }
  APMPRuntimeValue& operator=(const APMPRuntimeValue& other) noexcept {
    APMPRuntimeValue copy(other);
    swap(copy);
    return *this;
  }
  APMPRuntimeValue& operator=(APMPRuntimeValue&& other) noexcept {
    APMPRuntimeValue moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~APMPRuntimeValue() {
    if (isHeap()) heapCell()->release();
  }
  void swap(APMPRuntimeValue& other) noexcept {
    std::swap(bits_, other.bits_);
    std::swap(type_, other.type_);
  }

  static APMPRuntimeValue null() noexcept { return APMPRuntimeValue(Type::Null, uint64_t{0}); }
  static APMPRuntimeValue boolean(bool value) noexcept { return APMPRuntimeValue(Type::Boolean, uint64_t{value}); }
  static APMPRuntimeValue number(double value) noexcept {
    return APMPRuntimeValue(Type::Number, std::bit_cast<uint64_t>(value));
  }
  static APMPRuntimeValue hole() noexcept { return APMPRuntimeValue(Type::Hole, uint64_t{0}); }
  static APMPRuntimeValue string(std::u16string text);

  // A value holding a cell (retained); null pointers give undefined.
  explicit APMPRuntimeValue(APMPStringValue* cell) noexcept;
  explicit APMPRuntimeValue(APMPMapValue* cell) noexcept;
  explicit APMPRuntimeValue(APMPFunctionValue* cell) noexcept;
  explicit APMPRuntimeValue(APMPArrayValue* cell) noexcept;
  explicit APMPRuntimeValue(APMPControlValue* cell) noexcept;
  explicit APMPRuntimeValue(APMPStatementValue* cell) noexcept;
  template <class T>
  explicit APMPRuntimeValue(const APMPRef<T>& cell) noexcept : APMPRuntimeValue(cell.get()) {}

  Type type() const noexcept { return type_; }
  bool isHeap() const noexcept { return type_ >= Type::String; }
  bool isUndefined() const noexcept { return type_ == Type::Undefined; }
  bool isNull() const noexcept { return type_ == Type::Null; }
  bool isHole() const noexcept { return type_ == Type::Hole; }
  bool isNumber() const noexcept { return type_ == Type::Number; }
  bool isBoolean() const noexcept { return type_ == Type::Boolean; }
  // break, continue or return.
  bool isControl() const noexcept {
    return type_ == Type::Break || type_ == Type::Continue || type_ == Type::Return;
  }
  // The payload of a number or boolean value.
  double numberValue() const noexcept { return std::bit_cast<double>(bits_); }
  bool booleanValue() const noexcept { return bits_ != 0; }

  // Typed views; null when the value is of another type.
  inline APMPStringValue* asString() const noexcept;
  inline APMPMapValue* asMap() const noexcept;
  inline APMPFunctionValue* asFunction() const noexcept;
  inline APMPArrayValue* asArray() const noexcept;
  // A map or a function: the values with a property map of their own.
  inline APMPPropertyCarrierValue* asPropertyCarrier() const noexcept;
  inline APMPControlValue* asReturn() const noexcept;
  inline APMPStatementValue* asStatement() const noexcept;
  // The text of a string value; null for any other value.
  const std::u16string* text() const noexcept;
  APMPCell* cell() const noexcept { return isHeap() ? heapCell() : nullptr; }

  // The text form, number form and truth value. A value without one (control
  // values, statements, the hole marker) reports error 5, 4 or 3.
  std::u16string stringValueOrError(platform::ErrorRef& error) const;
  // Appends the text form of a value that is not an array (an array's is a
  // walk over its elements) to `text`, with no copy made in between; error
  // 5 as above, and for an array.
  void appendTextForm(std::u16string& text, platform::ErrorRef& error) const;
  // The most units that form can take, known before it is made: exact but
  // for numbers (`kAPMPLongestNumberText`); 0 for arrays and for values
  // without one.
  size_t textFormBound() const noexcept;
  double doubleValueOrError(platform::ErrorRef& error) const {
    return type_ == Type::Number ? numberValue() : otherDoubleValue(error);
  }
  bool booleanValueOrError(platform::ErrorRef& error) const {
    return type_ == Type::Boolean ? booleanValue() : otherBooleanValue(error);
  }

  // A method call on this value, by the value's type: "toString" on booleans
  // and numbers, the string and array method sets, own function properties
  // of maps and functions; error 7 on undefined and null, 17 for a name the
  // value does not have. `arguments` are handed over as the method-call
  // command received them (statements still unevaluated).
  APMPRuntimeValue applyWithName(std::u16string_view name, std::span<const APMPRuntimeValue> arguments,
                                 APMPScope& scope, platform::ErrorRef& error) const;

  // Structural equality for the runtime's own use (NaN equals NaN here).
  // Cyclic and very deep structures compare unequal past a bounded amount
  // of work instead of recursing without end.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;

  // Identity: the same shared value or the same cell.
  bool isSameObject(const APMPRuntimeValue& other) const noexcept {
    return type_ == other.type_ && (!isHeap() || bits_ == other.bits_);
  }

 private:
  APMPRuntimeValue(Type type, uint64_t bits) noexcept : bits_(bits), type_(type) {}
  APMPRuntimeValue(Type type, APMPCell* cell) noexcept;
  double otherDoubleValue(platform::ErrorRef& error) const;
  bool otherBooleanValue(platform::ErrorRef& error) const;
  APMPCell* heapCell() const noexcept { return reinterpret_cast<APMPCell*>(static_cast<uintptr_t>(bits_)); }
  friend class APMPControlValue;
  template <class T>
  T* as(Type type) const noexcept {
    return type_ == type ? static_cast<T*>(heapCell()) : nullptr;
  }

  // The payload: a boolean (0 or 1), a number's bits or a cell's address.
  uint64_t bits_ = 0;
  Type type_ = Type::Undefined;
};

static_assert(sizeof(APMPRuntimeValue) == 16);

// The shared instances, under their classes' names.
struct APMPUndefinedValue {
  static APMPRuntimeValue sharedInstance() noexcept { return {}; }
};
struct APMPNullValue {
  static APMPRuntimeValue sharedInstance() noexcept { return APMPRuntimeValue::null(); }
};
struct APMPBooleanValue {
  static APMPRuntimeValue booleanValueWithBool(bool value) noexcept { return APMPRuntimeValue::boolean(value); }
};

// The bytes a text keeps outside its own object (none while it is short
// enough to be stored inline).
template <class Text>
size_t APMPTextBytes(const Text& text) noexcept {
  const auto data = reinterpret_cast<uintptr_t>(text.data());
  const auto self = reinterpret_cast<uintptr_t>(&text);
  if (data >= self && data < self + sizeof(Text)) return 0;
  return (text.capacity() + 1) * sizeof(typename Text::value_type);
}

// The bytes a text of `units` code units takes outside its object, at most.
inline constexpr size_t APMPTextBytesFor(size_t units) noexcept { return (units + 1) * sizeof(char16_t); }

// An immutable UTF-16 text. Its characters count towards the thread's
// memory watch (cell_memory.h) for as long as the cell lives.
class APMPStringValue final : public APMPCell {
 public:
  explicit APMPStringValue(std::u16string value) : value_(std::move(value)) {
    APMPCellMemory::noteAllocated(APMPTextBytes(value_));
  }
  ~APMPStringValue() override { APMPCellMemory::noteFreed(APMPTextBytes(value_)); }
  const std::u16string& value() const noexcept { return value_; }
  size_t heldBytes() const noexcept override { return sizeof(*this) + APMPTextBytes(value_); }

 private:
  const std::u16string value_;
};

// The control values that end statement lists: break and continue are shared
// inline values; a return is a cell carrying its data.
class APMPControlValue final : public APMPCell {
 public:
  static APMPRuntimeValue breakValue() noexcept;
  static APMPRuntimeValue continueValue() noexcept;
  static APMPRuntimeValue returnValueWithData(APMPRuntimeValue data);

  // "break", "continue" or "return" for a control value; empty otherwise.
  static std::u16string_view type(const APMPRuntimeValue& control) noexcept;
  // The data of a return value; undefined for any other value.
  static APMPRuntimeValue data(const APMPRuntimeValue& control);

  const APMPRuntimeValue& data() const noexcept { return data_; }
  void markChildren(APMPMarker& marker) override;
  size_t heldBytes() const noexcept override { return sizeof(*this); }

 private:
  explicit APMPControlValue(APMPRuntimeValue data) : data_(std::move(data)) {}
  const APMPRuntimeValue data_;
};

// A statement: a function name (a decimal opcode or the name of a script
// function) and its argument values, not yet evaluated. The command routine
// for the name is resolved once, when the statement is made; names that are
// not opcodes call the script function bound under them. The arguments are
// stored in the cell itself, right after it.
//
// A statement is a cell of its own (`make`), or one of the statements of a
// block (`APMPStatementBlock`): a converted program lies in one allocation,
// each statement followed by its arguments and then by the statements among
// them, in the order evaluation meets them. Every statement keeps its own
// reference count either way.
class APMPStatementValue final : public APMPCell {
 public:
  // `initWithFunctionName:arguments:`.
  static APMPRef<APMPStatementValue> make(std::u16string functionName, std::span<const APMPRuntimeValue> arguments);

  const std::u16string& functionName() const noexcept {
    return handler_ ? *static_cast<const std::u16string*>(name_) : static_cast<const APMPStringValue*>(name_)->value();
  }
  std::span<const APMPRuntimeValue> arguments() const noexcept { return {argumentSlots(), count_}; }
  // Null when the name is not an opcode.
  APMPCommandHandler handler() const noexcept { return handler_; }

  // A statement of a block gives its memory back to the block; the block
  // is freed with its last statement.
  static void operator delete(APMPStatementValue* statement, std::destroying_delete_t) noexcept;

 private:
  friend class APMPStatementBlock;
  APMPStatementValue(const void* name, APMPCommandHandler handler, uint32_t count, uint32_t blockOffset) noexcept;
  ~APMPStatementValue() override;
  APMPRuntimeValue* argumentSlots() const noexcept {
    return reinterpret_cast<APMPRuntimeValue*>(const_cast<APMPStatementValue*>(this) + 1);
  }

  const APMPCommandHandler handler_;
  const uint32_t count_;
  // Distance from the start of the block, in words; 0 for a cell of its own.
  const uint32_t blockOffset_;
  // An opcode's name is the registrar's text (it lives for the process);
  // any other name is a string cell the statement retains.
  const void* name_;
};

// Lays out statements in one allocation, in the order they are placed.
// The room is measured first (the sum of `statementBytes` over the
// statements to come); once a statement is placed, the block belongs to its
// statements and is freed with the last of them, whoever holds it.
class APMPStatementBlock {
 public:
  // The bytes a statement of `count` arguments takes.
  static constexpr size_t statementBytes(size_t count) noexcept {
    return sizeof(APMPStatementValue) + count * sizeof(APMPRuntimeValue);
  }
  explicit APMPStatementBlock(size_t bytes);
  // Gives the room back when no statement was placed.
  ~APMPStatementBlock();
  APMPStatementBlock(const APMPStatementBlock&) = delete;
  APMPStatementBlock& operator=(const APMPStatementBlock&) = delete;

  // Places the next statement, its arguments undefined. The name is an
  // opcode's registrar entry (`opcode` and `handler`) or, with a null
  // handler, a string cell. The room must hold it.
  APMPStatementValue* place(const void* name, APMPCommandHandler handler, uint32_t count) noexcept;
  // Stores argument `index` of a statement being built.
  static void setArgument(APMPStatementValue& statement, size_t index, APMPRuntimeValue value) noexcept {
    statement.argumentSlots()[index] = std::move(value);
  }

 private:
  friend class APMPStatementValue;
  struct Header {
    size_t statements;  // placed and not yet destroyed
  };
  static void release(void* memory) noexcept;

  char* memory_;
  size_t used_ = sizeof(Header);
  size_t size_;
};

// The longest text form of a number: a sign, "0." and five zeros before
// 17 digits.
inline constexpr size_t kAPMPLongestNumberText = 25;
// The text form of a number: "NaN", "Infinity", "-Infinity", "0" for both
// zeros; otherwise the shortest digits that read back to the same double,
// written plainly when 1e-6 <= |x| < 1e21 and as "<digits>e+<n>" or
// "<digits>e-<n>" outside that range.
std::u16string APMPNumberText(double value);
// The number form of a text: trimmed; empty gives 0; "NaN", "Infinity" and
// "-Infinity" as named; otherwise a whole decimal literal (sign, digits with
// an optional fraction, optional exponent) or NaN.
double APMPNumberFromText(std::u16string_view text);

// Named properties: a name-to-value table with per-name and whole-table
// immutability. Names keep their insertion order. Writes to a frozen table or
// to a frozen name do nothing. A removal leaves a gap that is closed later,
// all gaps at once, so removing many names costs time linear in the table.
class APMPPropertyMap {
 public:
  APMPPropertyMap() = default;
  APMPPropertyMap(const APMPPropertyMap&) = delete;
  APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;

  bool hasName(std::u16string_view name) const { return find(name) != nullptr; }
  // Undefined when absent.
  APMPRuntimeValue valueForName(std::u16string_view name) const;
  // The bound value, or null when absent; valid until the next write.
  const APMPRuntimeValue* find(std::u16string_view name) const;
  void setValue(APMPRuntimeValue value, std::u16string_view name);
  // Stores and freezes the name; a name can be frozen once.
  void setImmutableValue(APMPRuntimeValue value, std::u16string_view name);
  void removeValueForName(std::u16string_view name);
  // Whether the name is bound; when it is, and neither the table nor the
  // name is frozen, `value` is swapped with the bound value.
  bool replaceValue(APMPRuntimeValue& value, std::u16string_view name);
  void makeImmutable() noexcept { immutable_ = true; }
  bool isImmutable() const noexcept { return immutable_; }
  bool isImmutableName(std::u16string_view name) const;
  std::vector<std::u16string> allNames() const;
  // The names as string values, in their order.
  std::vector<APMPRuntimeValue> allNameValues() const;
  size_t count() const noexcept { return entries_.size() - removed_; }
  // Room for `count` names in all, so that the first few writes do not regrow the table.
  void reserve(size_t count) { entries_.reserve(count); }

  // Drops every entry whatever its immutability: the collector's release of
  // an unreachable value, and a runtime's teardown.
  void removeAll() noexcept;
  void markValues(APMPMarker& marker) const;
  // The bytes of the table, its names and its index.
  size_t heldBytes() const noexcept;
  // The most names in one bucket of the index (0 without one): what a
  // lookup may compare at worst.
  size_t longestIndexBucket() const noexcept;

  // Names live in the cell memory: most are short-lived scope bindings.
  using Name = std::basic_string<char16_t, std::char_traits<char16_t>, APMPCellAllocator<char16_t>>;
  struct Entry {
    Name name;
    APMPRuntimeValue value;
    bool immutable = false;
    bool removed = false;  // a gap; never seen through `entries`
  };
  // The entries in insertion order; valid until the next write.
  std::span<const Entry> entries() const {
    if (removed_ != 0) closeGaps();
    return entries_;
  }

 private:
  // Keyed per table: a program cannot choose names that share a bucket.
  using Index = std::unordered_map<std::u16string, uint32_t, APMPNameHash, std::equal_to<>>;

  Entry* entry(std::u16string_view name);
  const Entry* entry(std::u16string_view name) const;
  void store(APMPRuntimeValue value, std::u16string_view name, bool immutable);
  void closeGaps() const;
  void rebuildIndex() const;

  // Gaps are closed on reads too, which change no visible state.
  mutable std::vector<Entry, APMPCellAllocator<Entry>> entries_;
  // Built once the table outgrows a linear search; holds no removed name.
  mutable std::unique_ptr<Index> index_;
  mutable size_t removed_ = 0;
  bool immutable_ = false;
};

// Base of the values that can form reference cycles (maps, functions,
// arrays). An object manager tracks them weakly; its collection calls
// `sweep` on those no root reaches. A value dying unregisters itself, and a
// dying manager detaches its values, so either may outlive the other.
class APMPCollectableValue : public APMPCell {
 public:
  APMPObjectManager* objectManager() const noexcept { return manager_; }

 protected:
  ~APMPCollectableValue() override;

 private:
  friend class APMPObjectManager;
  APMPObjectManager* manager_ = nullptr;
  uint32_t trackIndex_ = 0;
};

// A value with named properties: maps and functions.
class APMPPropertyCarrierValue : public APMPCollectableValue {
 public:
  bool hasProperty(std::u16string_view name) const { return propertyMap_.hasName(name); }
  void setValue(APMPRuntimeValue value, std::u16string_view property) {
    propertyMap_.setValue(std::move(value), property);
  }
  APMPRuntimeValue valueForProperty(std::u16string_view name) const { return propertyMap_.valueForName(name); }
  void removeValueForProperty(std::u16string_view name) { propertyMap_.removeValueForName(name); }
  std::vector<std::u16string> allPropertyNames() const { return propertyMap_.allNames(); }
  APMPPropertyMap& propertyMap() noexcept { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const noexcept { return propertyMap_; }

 protected:
  ~APMPPropertyCarrierValue() override = default;

 private:
  APMPPropertyMap propertyMap_;
};

// A map: named properties. Classes deriving from it (the event natives) may
// answer method calls of their own.
class APMPMapValue : public APMPPropertyCarrierValue {
 public:
  APMPMapValue() = default;


  // An own property holding a function is called; otherwise
  // "hasOwnProperty" and "toString" ("[object Object]"), else error 17.
  virtual APMPRuntimeValue applyWithName(std::u16string_view name, std::span<const APMPRuntimeValue> arguments,
                                         APMPScope& scope, platform::ErrorRef& error);

  void markChildren(APMPMarker& marker) override;
  void sweep() override;
  size_t heldBytes() const noexcept override { return sizeof(*this) + propertyMap().heldBytes(); }
};

// A function: a script function (parameters, body statements, the scope it
// closes over) or a native, which replaces `invokeWithArguments`. Functions
// carry named properties like maps.
class APMPFunctionValue : public APMPPropertyCarrierValue {
 public:
  APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                    std::vector<APMPRuntimeValue> statements, APMPRef<APMPScope> definingScope);
  // A native: no parameters, an empty body and a fresh scope without parent.
  explicit APMPFunctionValue(std::u16string functionName);

  // Both lists live in the cell memory, where the memory watch counts them.
  using Names = std::vector<APMPPropertyMap::Name, APMPCellAllocator<APMPPropertyMap::Name>>;
  using Statements = std::vector<APMPRuntimeValue, APMPCellAllocator<APMPRuntimeValue>>;

  const std::u16string& functionName() const noexcept { return functionName_; }
  const Names& parameters() const noexcept { return parameters_; }
  std::span<const APMPRuntimeValue> statements() const noexcept { return statements_; }
  // Null once the function has been swept.
  APMPScope* definingScope() const noexcept { return definingScope_.get(); }

  // Evaluates `arguments` in order in the caller's `scope` (the first error
  // answers undefined), then `invokeWithEvaluatedArguments`.
  virtual APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                               platform::ErrorRef& error);
  // Runs the body in a new child scope of the defining scope with the
  // parameters bound (missing ones undefined). Answers a return's data, or
  // the body's last value (break and continue leave as they are), or
  // undefined for an empty body or after an error. A function a collection
  // has swept (held by the host past its last reach) fails with error 17.
  APMPRuntimeValue invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue> arguments,
                                                platform::ErrorRef& error);


  // As for maps, with the function name as "toString".
  virtual APMPRuntimeValue applyWithName(std::u16string_view name, std::span<const APMPRuntimeValue> arguments,
                                         APMPScope& scope, platform::ErrorRef& error);

  // Natives that hold values of their own override both and call these.
  void markChildren(APMPMarker& marker) override;
  void sweep() override;
  size_t heldBytes() const noexcept override;

 protected:
  ~APMPFunctionValue() override;

 private:
  const std::u16string functionName_;
  Names parameters_;
  Statements statements_;
  APMPRef<APMPScope> definingScope_;
};

// The script array: positions that may be holes (the shared hole marker),
// a "length" that is always the number of positions, and named properties.
// The element methods are the array method set's.
//
// A property is addressed by a runtime value: a number, or a string whose
// number form is a whole finite number of at least 0, is an index (so 1,
// 1.0, "1" and "01" address the same position, while "1.5" and -1 are
// named properties); the text "length" is the count; anything else is a
// named property under its text form. Holes read as undefined. No array
// has more than `kAPMPMaxArrayLength` positions: writing an index or a
// "length" past it is error 11 and changes nothing. Growth is charged to
// the scope's work budget (one unit per new position).
//
// The operations that take a scope never hold a reference into the
// element list across a script call, so callbacks may change the array,
// or a collection may empty it, at any moment.
class APMPArrayValue final : public APMPCollectableValue {
 public:
  // The positions live in the cell memory, where the memory watch counts
  // them however the list grows.
  using Elements = std::vector<APMPRuntimeValue, APMPCellAllocator<APMPRuntimeValue>>;

  APMPArrayValue() = default;
  explicit APMPArrayValue(std::vector<APMPRuntimeValue> elements)
      : elements_(std::make_move_iterator(elements.begin()), std::make_move_iterator(elements.end())) {}

  // The hole marker.
  static APMPRuntimeValue emptyValue() noexcept { return APMPRuntimeValue::hole(); }

  size_t count() const noexcept { return elements_.size(); }
  // The positions, holes included.
  const Elements& elements() const noexcept { return elements_; }
  Elements& elements() noexcept { return elements_; }
  // The element at `index`; holes and positions past the end read as undefined.
  APMPRuntimeValue elementAt(size_t index) const;
  // Whether `index` is below the count and not a hole.
  bool hasElementAt(size_t index) const noexcept { return index < elements_.size() && !elements_[index].isHole(); }
  // The elements with every hole read as undefined.
  std::vector<APMPRuntimeValue> allElements() const;
  APMPPropertyMap& propertyMap() noexcept { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const noexcept { return propertyMap_; }

  // Property access. Reads answer undefined for what is not there; a
  // property without a text form is error 5 (nothing changes).
  APMPRuntimeValue valueForProperty(const APMPRuntimeValue& property, APMPScope& scope,
                                    platform::ErrorRef& error) const;
  // An index past the count grows the array with holes first; "length"
  // takes an index-like value (else error 11); a frozen name is left as it
  // is. False with the error set when nothing was stored.
  bool setValue(APMPRuntimeValue value, const APMPRuntimeValue& property, APMPScope& scope,
                platform::ErrorRef& error);
  // An index below the count becomes a hole; an index past it does
  // nothing; "length" is not removable; a named property goes unless frozen.
  void removeValueForProperty(const APMPRuntimeValue& property, APMPScope& scope, platform::ErrorRef& error);
  // An index that holds an element, or a named property; "length" is not
  // a named property here.
  bool hasProperty(const APMPRuntimeValue& property, APMPScope& scope, platform::ErrorRef& error) const;
  // Cuts the array to `length` positions or fills it up with holes; past
  // `kAPMPMaxArrayLength`, or when the work budget cannot pay the new
  // positions, false with error 11 or 18 and nothing changes.
  bool setLength(double length, APMPScope& scope, platform::ErrorRef& error);
  // String values: the named properties in their table's order, then the
  // decimal indexes of the positions that are not holes, ascending.
  std::vector<APMPRuntimeValue> allPropertyNames() const;

  // List operations for the array methods; none tracks new arrays, and
  // only the searches charge.
  // Removes up to `deleteCount` positions from `start` (both clamped to the
  // array) and inserts `values` there; answers the removed positions.
  std::vector<APMPRuntimeValue> spliceFrom(size_t start, size_t deleteCount, std::span<const APMPRuntimeValue> values);
  // An array value appends all its positions (holes stay holes); a control
  // value is error 10; anything else is appended as one element.
  bool concat(const APMPRuntimeValue& value, platform::ErrorRef& error);
  void reverse() noexcept;
  // Undefined for an empty array or a removed hole.
  APMPRuntimeValue removeFirstElement();
  APMPRuntimeValue removeLastElement();
  // Both answer the new count.
  size_t appendElements(std::span<const APMPRuntimeValue> values);
  size_t prependElements(std::span<const APMPRuntimeValue> values);
  // The first position at or after `from` (the last at or before it) whose
  // element is strictly equal to `value`; holes never match; -1 when none.
  // Texts compared are charged; a spent budget answers -1 with error 18.
  int64_t indexOfValue(const APMPRuntimeValue& value, size_t from, APMPScope& scope, platform::ErrorRef& error) const;
  int64_t lastIndexOfValue(const APMPRuntimeValue& value, size_t from, APMPScope& scope,
                           platform::ErrorRef& error) const;

  // The elements' text forms joined by `separator`; holes, undefined and
  // null contribute nothing. An array met again inside its own conversion
  // (a cycle) contributes the empty text; nesting past the value-depth
  // limit, a text past `kAPMPMaxTextLength` or more than `kAPMPMaxWalkSteps`
  // elements visited is error 18. With a scope, each element is charged to
  // its work budget before it is appended (the walk ends with error 18 when
  // the budget cannot pay), so the walk looks at the run's processor time
  // as it goes; with `counted` too, the text's room is taken from it before
  // the text grows into it.
  std::u16string stringValueWithSeparator(std::u16string_view separator, platform::ErrorRef& error,
                                          APMPScope* scope = nullptr, APMPWorkingBytes* counted = nullptr) const;
  std::u16string stringValueOrError(platform::ErrorRef& error) const;
  // The text form read as a string's number form.
  double doubleValueOrError(platform::ErrorRef& error) const;

  // An own property holding a function is called (any other value there is
  // error 17); otherwise the array method set answers.
  APMPRuntimeValue applyWithName(std::u16string_view name, std::span<const APMPRuntimeValue> arguments,
                                 APMPScope& scope, platform::ErrorRef& error);

  void markChildren(APMPMarker& marker) override;
  void sweep() override;
  size_t heldBytes() const noexcept override {
    return sizeof(*this) + elements_.capacity() * sizeof(APMPRuntimeValue) + propertyMap_.heldBytes();
  }

 private:
  struct TextWalk;
  void appendText(std::u16string& text, std::u16string_view separator, TextWalk& walk,
                  platform::ErrorRef& error) const;
  // Grows to `count` positions with holes (never shrinks); charges the new
  // positions. False with error 11 or 18 when it cannot.
  bool growTo(double count, APMPScope& scope, platform::ErrorRef& error);

  Elements elements_;
  APMPPropertyMap propertyMap_;
  mutable bool converting_ = false;
};

// How deeply values may nest where the runtime walks them recursively (text
// forms of arrays, conversions to and from platform objects, structural
// equality); past it the walk reports error 18 instead of exhausting the
// native stack.
inline constexpr int kAPMPMaxValueNesting = 100;
// The most nodes one such walk visits: shared substructures make a value's
// tree exponentially larger than the value itself.
inline constexpr size_t kAPMPMaxValueWalk = 100000;
// The most elements one text form or equality test visits, shared
// substructures counted each time they are met.
inline constexpr size_t kAPMPMaxWalkSteps = size_t{1} << 24;
// The longest text the runtime builds, in UTF-16 code units.
inline constexpr size_t kAPMPMaxTextLength = size_t{1} << 24;
// The most positions an array may have.
inline constexpr size_t kAPMPMaxArrayLength = size_t{1} << 20;

inline APMPStringValue* APMPRuntimeValue::asString() const noexcept { return as<APMPStringValue>(Type::String); }
inline APMPMapValue* APMPRuntimeValue::asMap() const noexcept { return as<APMPMapValue>(Type::Map); }
inline APMPFunctionValue* APMPRuntimeValue::asFunction() const noexcept { return as<APMPFunctionValue>(Type::Function); }
inline APMPArrayValue* APMPRuntimeValue::asArray() const noexcept { return as<APMPArrayValue>(Type::Array); }
inline APMPPropertyCarrierValue* APMPRuntimeValue::asPropertyCarrier() const noexcept {
  if (APMPMapValue* map = asMap()) return map;
  return asFunction();
}
inline APMPControlValue* APMPRuntimeValue::asReturn() const noexcept { return as<APMPControlValue>(Type::Return); }
inline APMPStatementValue* APMPRuntimeValue::asStatement() const noexcept {
  return as<APMPStatementValue>(Type::Statement);
}
inline const std::u16string* APMPRuntimeValue::text() const noexcept {
  const APMPStringValue* string = asString();
  return string ? &string->value() : nullptr;
}

inline APMPRuntimeValue::APMPRuntimeValue(Type type, APMPCell* cell) noexcept
    : bits_(reinterpret_cast<uintptr_t>(cell)), type_(cell ? type : Type::Undefined) {
  if (cell) cell->retain();
}
inline APMPRuntimeValue::APMPRuntimeValue(APMPStringValue* cell) noexcept : APMPRuntimeValue(Type::String, cell) {}
inline APMPRuntimeValue::APMPRuntimeValue(APMPMapValue* cell) noexcept : APMPRuntimeValue(Type::Map, cell) {}
inline APMPRuntimeValue::APMPRuntimeValue(APMPFunctionValue* cell) noexcept : APMPRuntimeValue(Type::Function, cell) {}
inline APMPRuntimeValue::APMPRuntimeValue(APMPArrayValue* cell) noexcept : APMPRuntimeValue(Type::Array, cell) {}
inline APMPRuntimeValue::APMPRuntimeValue(APMPControlValue* cell) noexcept : APMPRuntimeValue(Type::Return, cell) {}
inline APMPRuntimeValue::APMPRuntimeValue(APMPStatementValue* cell) noexcept
    : APMPRuntimeValue(Type::Statement, cell) {}
