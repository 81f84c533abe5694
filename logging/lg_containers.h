// The logging library's own small containers: a chained hash table keyed by case-insensitive
// names (configuration keys, session tables, options, variables), a list of strings and a
// growable text buffer whose size is accounted in UTF-16 code units.
//
// Thread safety: none of these containers locks; their owners serialize access.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parlevo::logging {

// Hash code of a key: lower-cased, then h := h * 33 + c over its UTF-16 code units, from 5381,
// modulo 2^32.
uint32_t LgHashCode(std::string_view key);

// Bucket counts by growth step; a new table has the first.
inline constexpr uint32_t kLgHashSizes[] = {
    7,     17,    37,    79,     163,    331,    673,     1361,    2729,    5471,    10949,
    21911, 43853, 87719, 175447, 350899, 701819, 1403641, 2807303, 5614657, 11229331};
inline constexpr int kLgHashMaxStep = 20;

// Chained hash table from case-insensitive keys to values. Keys keep the spelling first given.
// ReleaseValue is called for every value the table discards (replaced or cleared); a derived
// class that overrides it must call Clear() in its own destructor.
template <typename V>
class TLgHash {
 public:
  TLgHash() : buckets_(kLgHashSizes[0]) {}
  virtual ~TLgHash() = default;
  TLgHash(const TLgHash&) = delete;
  TLgHash& operator=(const TLgHash&) = delete;

  // Adds the key, or replaces the value of an existing key.
  void Put(std::string_view key, V value) {
    const uint32_t hash = LgHashCode(key);
    if (Node* node = FindNode(key, hash)) {
      ReleaseValue(node->value);
      node->value = std::move(value);
      return;
    }
    auto node = std::make_unique<Node>();
    node->key = std::string(key);
    node->value = std::move(value);
    node->hash = hash;
    auto& head = buckets_[hash % buckets_.size()];
    if (!head) ++occupied_;
    node->next = std::move(head);
    head = std::move(node);
    if (occupied_ >= buckets_.size() * 0.75 && step_ < kLgHashMaxStep) Grow();
    ++count_;
    Reset();
  }

  V* Find(std::string_view key) {
    Node* node = FindNode(key, LgHashCode(key));
    return node ? &node->value : nullptr;
  }
  const V* Find(std::string_view key) const {
    const Node* node = const_cast<TLgHash*>(this)->FindNode(key, LgHashCode(key));
    return node ? &node->value : nullptr;
  }
  bool Contains(std::string_view key) const { return Find(key) != nullptr; }

  void Clear() {
    for (auto& head : buckets_) {
      while (head) {
        ReleaseValue(head->value);
        head = std::move(head->next);
      }
    }
    count_ = 0;
    occupied_ = 0;
    Reset();
  }

  int Count() const { return static_cast<int>(count_); }
  int BucketCount() const { return static_cast<int>(buckets_.size()); }

  // Iteration: Reset, then Next() until it returns false; CurrentKey/CurrentValue are valid
  // after a Next() that returned true. Adding a key resets the cursor.
  void Reset() {
    cursor_bucket_ = 0;
    cursor_ = nullptr;
    started_ = false;
  }
  bool Next() {
    if (cursor_ && cursor_->next) {
      cursor_ = cursor_->next.get();
      return true;
    }
    size_t bucket = cursor_ ? cursor_bucket_ + 1 : (started_ ? buckets_.size() : 0);
    started_ = true;
    for (; bucket < buckets_.size(); ++bucket) {
      if (buckets_[bucket]) {
        cursor_bucket_ = bucket;
        cursor_ = buckets_[bucket].get();
        return true;
      }
    }
    cursor_ = nullptr;
    return false;
  }
  const std::string& CurrentKey() const { return cursor_->key; }
  V& CurrentValue() { return cursor_->value; }

 protected:
  virtual void ReleaseValue(V& /*value*/) {}

 private:
  struct Node {
    std::string key;
    V value{};
    uint32_t hash = 0;
    std::unique_ptr<Node> next;
  };

  Node* FindNode(std::string_view key, uint32_t hash) {
    for (Node* node = buckets_[hash % buckets_.size()].get(); node; node = node->next.get()) {
      if (node->hash == hash && KeysEqual(node->key, key)) return node;
    }
    return nullptr;
  }

  static bool KeysEqual(std::string_view a, std::string_view b);

  void Grow() {
    ++step_;
    std::vector<std::unique_ptr<Node>> grown(kLgHashSizes[step_]);
    occupied_ = 0;
    for (auto& head : buckets_) {
      while (head) {
        std::unique_ptr<Node> node = std::move(head);
        head = std::move(node->next);
        auto& target = grown[node->hash % grown.size()];
        if (!target) ++occupied_;
        node->next = std::move(target);
        target = std::move(node);
      }
    }
    buckets_ = std::move(grown);
  }

  std::vector<std::unique_ptr<Node>> buckets_;
  size_t count_ = 0;
  size_t occupied_ = 0;
  int step_ = 0;
  size_t cursor_bucket_ = 0;
  Node* cursor_ = nullptr;
  bool started_ = false;
};

bool LgKeysEqual(std::string_view a, std::string_view b);

template <typename V>
bool TLgHash<V>::KeysEqual(std::string_view a, std::string_view b) {
  return LgKeysEqual(a, b);
}

// Key to text; an absent key reads as the empty text.
class TLgStringHash : public TLgHash<std::string> {
 public:
  std::string Get(std::string_view key) const {
    const std::string* value = Find(key);
    return value ? *value : std::string();
  }
};

// Key to integer.
class TLgIntegerHash : public TLgHash<int64_t> {
 public:
  std::optional<int64_t> Get(std::string_view key) const {
    const int64_t* value = Find(key);
    return value ? std::optional<int64_t>(*value) : std::nullopt;
  }
};

// Key to object. An owning table frees its objects when they are replaced or cleared; a
// non-owning one only refers to objects that someone else keeps alive.
template <typename T>
class TLgObjectHash : public TLgHash<std::unique_ptr<T>> {
 public:
  explicit TLgObjectHash(bool owns_objects) : owns_objects_(owns_objects) {}
  ~TLgObjectHash() override { this->Clear(); }

  bool OwnsObjects() const { return owns_objects_; }
  // Non-owning table: files a reference to an object kept alive elsewhere.
  void Put(std::string_view key, T* value) {
    TLgHash<std::unique_ptr<T>>::Put(key, std::unique_ptr<T>(value));
  }
  // Owning table: takes the object over.
  void Adopt(std::string_view key, std::unique_ptr<T> value) {
    TLgHash<std::unique_ptr<T>>::Put(key, std::move(value));
  }
  T* Get(std::string_view key) const {
    const std::unique_ptr<T>* value = this->Find(key);
    return value ? value->get() : nullptr;
  }

 protected:
  void ReleaseValue(std::unique_ptr<T>& value) override {
    if (!owns_objects_) (void)value.release();
  }

 private:
  bool owns_objects_;
};

// A list of strings.
class TLgStringList {
 public:
  void Add(std::string text);
  // Raise ELogCenterError "Index out of bounds" outside 0 .. Count()-1.
  const std::string& Strings(int index) const;
  void Delete(int index);
  int Count() const { return static_cast<int>(items_.size()); }
  void Clear() { items_.clear(); }
  // Ascending, case-sensitive (by character code).
  void Sort();
  // Replaces the content by the lines of the text (CR, LF or CR LF end a line).
  void SetText(std::string_view text);
  // Replaces the content by the lines of a text file: UTF-8 with or without byte-order mark,
  // or UTF-16 with a byte-order mark. Raises ELogCenterError when the file cannot be read.
  void LoadFromFile(const std::string& file_name);

 private:
  std::vector<std::string> items_;
};

// Decodes the bytes of a text file: a UTF-8 byte-order mark, or (with at least three bytes)
// a UTF-16 little- or big-endian one, is recognised and dropped; other bytes are taken as
// UTF-8, or as Latin-1 when they are not valid UTF-8.
std::string DecodeTextFileBytes(std::string_view bytes);

// A growable text buffer; Length and Capacity are counted in UTF-16 code units.
class TLgStringBuilder {
 public:
  explicit TLgStringBuilder(size_t capacity = 256) : capacity_(capacity ? capacity : 1) {
    text_.reserve(capacity_);
  }
  void Append(std::string_view text);
  // Empties the buffer; a buffer grown to a million code units or more shrinks back.
  void Clear();
  const std::string& Text() const { return text_; }
  size_t Length() const { return length_; }
  size_t Capacity() const { return capacity_; }

 private:
  std::string text_;
  size_t length_ = 0;
  size_t capacity_;
};

}  // namespace parlevo::logging
