// The bounded codec, the envelope's exact layout and every refusal of its decoder, the
// vector body, definition size limits and the manifest descriptor checks.
#include <gtest/gtest.h>

#include "core/bytes.h"
#include "retrieval/catalog_entry.h"
#include "core/byte_codec.h"
#include "retrieval/index_envelope.h"
#include "retrieval/definition_json.h"
#include "support/result_text.h"

namespace qm::persistent {
namespace {

using retrieval::FullTextKind;
using retrieval::RetrievalMetric;
using retrieval::VectorKind;

const std::string kPrefix = "data corruption: persistent retrieval: ";

RetrievalIndexDefinition text_def() { return {"ix", "docs", "id", FullTextKind{{"body"}}}; }
RetrievalIndexDefinition vector_def(uint64_t dims = 2) {
  return {"vx", "docs", "id", VectorKind{"emb", RetrievalMetric::SquaredEuclidean, dims}};
}

TEST(Codec, BoundsOfWritesAndReads) {
  Encoder e;
  ASSERT_TRUE(e.put(std::string(kMaxEncodedBytes - 1, 'x')).has_value());
  ASSERT_TRUE(e.u8(1).has_value());
  auto over = e.u8(1);
  EXPECT_EQ(over.error().message(), "query resource limit exceeded: persistent retrieval encoding exceeds 32 MiB");
  EXPECT_EQ(e.size(), kMaxEncodedBytes);
  Encoder c;
  EXPECT_EQ(c.count(uint64_t{1} << 32).error().message(), kPrefix + "encoded count overflow");

  std::string bytes;
  ByteWriter w(bytes);
  w.u32(8192), w.u32(8193);
  Decoder d(bytes);
  EXPECT_EQ(*d.count(8192), 8192u);
  EXPECT_EQ(d.count(8192).error().message(), kPrefix + "encoded count exceeds limit");
  EXPECT_TRUE(d.take(0).has_value());
  EXPECT_EQ(d.take(1).error().message(), kPrefix + "truncated or overflowing index extent");
  EXPECT_TRUE(d.finish().has_value());
  Decoder rest(bytes);
  EXPECT_EQ(rest.finish().error().message(), kPrefix + "trailing index bytes");
}

std::string envelope_of(const RetrievalIndexDefinition& def, uint64_t generation, std::vector<std::pair<int64_t, std::string>> rows) {
  auto entry = must(CatalogEntry::create(def, generation, true));
  const std::vector<std::string> cols = {"id", std::holds_alternative<VectorKind>(def.kind) ? "emb" : "body"};
  for (auto& [id, text] : rows) {
    auto doc = must(prepare(def, cols, std::vector<Value>{Value::integer(id), Value::text(text)}));
    EXPECT_TRUE(entry.add(doc).has_value());
  }
  auto bytes = must(entry.encode());
  return bytes;
}

// Recomputes the trailer so a tampered header reaches the checks behind the checksum.
std::string resealed(std::string env) {
  Digest d = blake3(std::string_view(env).substr(0, env.size() - 32));
  std::memcpy(env.data() + env.size() - 32, d.data(), 32);
  return env;
}

std::string decode_error(const std::string& env) { return error_text(decode_envelope(as_bytes(env))); }

TEST(Envelope, ExactLayout) {
  const auto def = text_def();
  const std::string env = envelope_of(def, 42, {{5, "hello world"}});
  const std::string json = retrieval::definition_json(def);
  EXPECT_EQ(json, R"({"name":"ix","table":"docs","id_column":"id","index":{"kind":"full_text","text_columns":["body"]}})");
  ByteReader r(env.data(), env.size());
  EXPECT_EQ(as_chars(*r.bytes(8)), std::string_view("QMRIDX\0\0", 8));
  EXPECT_EQ(*r.u16(), 1);
  EXPECT_EQ(*r.u8(), 1);
  EXPECT_EQ(*r.u8(), 0);
  EXPECT_EQ(*r.u64(), 42u);
  EXPECT_EQ(*r.u32(), json.size());
  EXPECT_EQ(as_chars(*r.bytes(json.size())), json);
  r.skip(32);
  uint32_t body_len = *r.u32();
  EXPECT_EQ(env.size(), 92 + json.size() + body_len);
  r.skip(body_len);
  Digest trailer = blake3(std::string_view(env).substr(0, env.size() - 32));
  EXPECT_EQ(as_chars(*r.bytes(32)), as_chars(trailer));

  auto back = must(decode_envelope(as_bytes(env)));
  EXPECT_EQ(back.definition, def);
  EXPECT_EQ(back.generation, 42u);
  EXPECT_TRUE(back.data.text->contains(5));
}

TEST(Envelope, DecoderRefusesTamperingWithItsTexts) {
  const std::string env = envelope_of(text_def(), 1, {{1, "a"}});
  const size_t def_len = retrieval::definition_json(text_def()).size();
  auto patched = [&](size_t at, std::string bytes) {
    std::string e = env;
    e.replace(at, bytes.size(), bytes);
    return resealed(e);
  };
  std::string flipped = env;
  flipped[0] ^= 1;
  std::string spaced = retrieval::definition_json(text_def());
  spaced.insert(spaced.find(':') + 1, " ");
  std::string noncanonical = env.substr(0, 20);
  ByteWriter(noncanonical).u32(static_cast<uint32_t>(spaced.size()));
  noncanonical += spaced + env.substr(24 + def_len);
  // One spare byte left between the declared body and the trailer.
  std::string spare = env.substr(0, env.size() - 32) + "x" + env.substr(env.size() - 32);
  const std::pair<std::string, std::string> cases[] = {
      {std::string(91, '\0'), "invalid envelope length"},
      {flipped, "envelope checksum mismatch"},
      {patched(8, "\x02"), "unsupported index magic or version"},
      {patched(11, "\x01"), "nonzero reserved header byte"},
      {patched(10, "\x02"), "noncanonical or mismatched definition"},
      {resealed(noncanonical), "noncanonical or mismatched definition"},
      {resealed(spare), "trailing index bytes"},
      {patched(20, "\x01\x20\0\0"), "encoded count exceeds limit"},  // D = 8193
  };
  for (const auto& [bytes, want] : cases) EXPECT_EQ(decode_error(bytes), kPrefix + want) << want;
  // 92 bytes with a correct trailer: the empty definition is no JSON value.
  std::string minimal(60, '\0');
  std::memcpy(minimal.data(), "QMRIDX\0\0\x01\0\x01", 11);
  EXPECT_NE(decode_error(resealed(minimal + std::string(32, '\0'))).find("persistent retrieval: "), std::string::npos);
}

TEST(VectorBody, LayoutAndRefusals) {
  auto empty = IndexData::create(vector_def(3), true);
  EXPECT_EQ(*empty->body(), std::string("\x03\0\0\0\0\0\0\0\x02\0\0\0", 12));
  auto data = IndexData::create(vector_def(1), true);
  ASSERT_TRUE(data->vector->upsert(5, std::vector<float>{1}).has_value());
  ASSERT_TRUE(data->vector->upsert(9, std::vector<float>{2}).has_value());
  const std::string body = *data->body();
  ASSERT_EQ(body.size(), 12u + 2 * 12);
  auto decode = [](const std::string& b, uint64_t dims = 1) {
    auto r = IndexData::decode(vector_def(dims), as_bytes(b));
    return r ? std::string("ok") : r.error().message();
  };
  EXPECT_EQ(decode(body), "ok");
  std::string dup = body;
  dup[24] = 5;  // second id 9 -> 5
  std::string down = body;
  down[24] = 3;
  std::string metric = body;
  metric[8] = 1;
  EXPECT_EQ(decode(dup), kPrefix + "vector IDs are not strictly ordered");
  EXPECT_EQ(decode(down), kPrefix + "vector IDs are not strictly ordered");
  EXPECT_EQ(decode(body + "x"), kPrefix + "vector extent/count mismatch");
  EXPECT_EQ(decode(metric), kPrefix + "vector header/definition mismatch");
  EXPECT_EQ(decode(body, 2), kPrefix + "vector header/definition mismatch");
  EXPECT_EQ(decode(body.substr(0, 8)), kPrefix + "truncated or overflowing index extent");
  std::string huge = body;
  huge[4] = 0x11, huge[5] = 0x27;  // 10001 vectors
  EXPECT_EQ(decode(huge), kPrefix + "encoded count exceeds limit");
  std::string nan = body;
  std::memcpy(nan.data() + 20, "\0\0\xc0\x7f", 4);
  EXPECT_EQ(decode(nan), kPrefix + vector::to_string(vector::VectorError::Invalid));
}

TEST(Definition, MaximalDefinitionsAreRefusedAtCreateNotAtFlush) {
  // Quotes are escaped, so 16 columns of 256 quote bytes encode far beyond 8 KiB while valid.
  RetrievalIndexDefinition big{"ix", "docs", "id", FullTextKind{}};
  for (int i = 0; i < 16; ++i) std::get<FullTextKind>(big.kind).text_columns.push_back(std::string(255, '"') + char('a' + i));
  ASSERT_TRUE(big.validate().has_value());
  EXPECT_EQ(retrieval::validate_for_create(big).error().message(), "schema error: persistent retrieval definition exceeds 8 KiB");
  auto entry = CatalogEntry::create(big, 0, true);
  EXPECT_EQ(entry->encode().error().message(), kPrefix + "definition exceeds 8 KiB");
  EXPECT_TRUE(retrieval::validate_for_create(text_def()).has_value());
}

TEST(Definition, StrictReadingTexts) {
  std::string cols17 = "[";
  for (int i = 0; i < 17; ++i) cols17 += (i ? ",\"c" : "\"c") + std::to_string(i) + "\"";
  cols17 += "]";
  auto def = [](std::string index) { return R"({"name":"ix","table":"t","id_column":"id","index":)" + index + "}"; };
  const std::pair<std::string, std::string> cases[] = {
      {def(R"({"kind":"full_text","text_columns":)" + cols17 + "}"), "persistent retrieval sequence exceeds its limit"},
      {def(R"({"kind":"full_text","text_columns":"a"})"), "a sequence containing at most 16 entries"},
      {def(R"({"kind":"full_text","text_columns":["a\u0001"]})"), "invalid persistent retrieval identifier"},
      {R"({"name":5,"table":"t","id_column":"id","index":{}})", "a nonempty identifier of at most 256 UTF-8 bytes"},
      {def(R"({"kind":"vector","vector_column":"v","metric":"dot","dimensions":3})"),
       "unknown variant `dot`, expected `cosine` or `squared_euclidean`"},
      {def(R"({"kind":"full_text","text_columns":[],"extra":1})"), "unknown field `extra`"},
      {R"({"name":"ix","name":"iy","table":"t","id_column":"id","index":{}})", "duplicate field `name`"},
      {R"({"name":"ix","table":"t","index":{}})", "missing field `id_column`"},
      {std::string(100, '[') + std::string(100, ']'), "depth"},
  };
  for (const auto& [json, want] : cases) {
    auto r = retrieval::read_definition_text(json);
    ASSERT_FALSE(r.has_value()) << json;
    EXPECT_NE(r.error().find(want), std::string::npos) << r.error();
  }
  auto v = vector_def(7);
  EXPECT_EQ(retrieval::definition_json(v),
            R"({"name":"vx","table":"docs","id_column":"id","index":{"kind":"vector","vector_column":"emb","metric":"squared_euclidean","dimensions":7}})");
  EXPECT_EQ(*retrieval::read_definition_text(retrieval::definition_json(v)), v);
}

TEST(Descriptors, ManifestChecks) {
  auto d = [](std::string name, uint64_t cas, uint64_t bytes, uint64_t docs = 1, uint64_t gen = 1) {
    return Descriptor{{name, "docs", "id", FullTextKind{{"b"}}}, cas, bytes, docs, gen, 0};
  };
  struct Case {
    std::vector<Descriptor> list;
    std::vector<CasExtent> cas_dir;
    std::string want;  // empty: accepted
  };
  std::vector<Descriptor> seventeen;
  for (int i = 0; i < 17; ++i) seventeen.push_back(d("i" + std::to_string(i), 0, 100));
  Descriptor bad_def = d("ix", 0, 100);
  bad_def.definition.table = "";
  const std::vector<Case> cases = {
      {{d("a", 0, 92), d("b", 1, 100, 10000, 5)}, {}, ""},
      {seventeen, {}, "too many catalog definitions"},
      {{d("a", 0, 100), d("a", 1, 100)}, {}, "invalid descriptor for a"},
      {{d("a", 0, 91)}, {}, "invalid descriptor for a"},
      {{d("a", 0, 100, 1, 6)}, {}, "invalid descriptor for a"},  // generation above the clock
      {{d("a", 0, 100, 10001)}, {}, "invalid descriptor for a"},
      {{d("a", 2, 100)}, {}, "invalid descriptor for a"},  // no such blob hash
      {{d("a", 0, 33554432), d("b", 1, 33554432), d("c", 0, 1)}, {}, "invalid descriptor for c"},
      {{d("a", 0, ~uint64_t{0} - 1), d("b", 1, 100)}, {}, "invalid descriptor for a"},
      {{d("a", 1, 100)}, {{0, 100}}, "missing retrieval CAS extent"},
      {{d("a", 0, 100)}, {{0, 101}}, "a descriptor/CAS length mismatch"},
      {{bad_def}, {}, "schema error: persistent retrieval identifiers must contain 1–256 non-control UTF-8 bytes"},
  };
  for (const auto& c : cases) {
    auto r = validate_descriptors(c.list, 5, 2, c.cas_dir);
    if (c.want.empty()) {
      EXPECT_TRUE(r.has_value()) << r.error().message();
    } else {
      ASSERT_FALSE(r.has_value()) << c.want;
      EXPECT_EQ(r.error().message(), kPrefix + c.want);
    }
  }
  // The written form reads back.
  std::string json;
  JsonWriter w(json);
  write_descriptor(w, d("a", 0, 100));
  auto node = parse_json("[" + json + "]");
  EXPECT_EQ((*read_descriptors(*node))[0], d("a", 0, 100));
}

}  // namespace
}  // namespace qm::persistent
