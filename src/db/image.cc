// The single-file image: baking any database into one self-contained byte image, and
// importing an image into a new writable memory database. The import treats its bytes as
// hostile: every offset and length is checked before use, every blob is verified against its
// digest, and the catalog is rebuilt exactly as for a writable database (tail pages held,
// every UNIQUE column indexed). The imported database is independent of the bytes.
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/blake3.h"
#include "core/bytes.h"
#include "core/file_header.h"
#include "table/catalog_rebuild.h"
#include "db/database.h"
#include "db/format_version.h"
#include "db/retrieval_catalog.h"
#include "storage/image_writer.h"

namespace qm::db {

Result<IndexRegion> Database::build_index_region() const {
  IndexRegion region;
  for (const auto& [name, t] : catalog_.tables()) {
    if (t.indexes.empty()) continue;
    std::vector<BinIndexDesc> descs;
    for (const auto& [column, index] : t.indexes) {
      QM_ASSIGN(std::string encoded, index.encode_binary());
      descs.push_back(BinIndexDesc{column, region.bytes.size(), encoded.size()});
      region.bytes += encoded;
    }
    region.tables.emplace_back(name, std::move(descs));
  }
  return region;
}

Result<Database::BakePlan> Database::plan_bake(uint64_t page_count) const {
  BakePlan bake;
  std::vector<storage::CasExtent> directory = store_.cas.pool_directory();
  bake.pool_length = directory.empty() ? 0 : directory.back().offset + directory.back().length;
  QM_ASSIGN(IndexRegion region, build_index_region());
  QM_ASSIGN(storage::ImageLayout layout, storage::image_layout(page_count, bake.pool_length, region.bytes.size(), 0));
  IndexPlan plan;
  plan.kind = IndexPlan::Kind::Binary;
  plan.binary = std::move(region.tables);
  plan.region_offset = layout.index_offset;
  plan.region_length = region.bytes.size();
  QM_ASSIGN(bake.manifest, build_manifest(true, plan, &directory));
  bake.index_bytes = std::move(region.bytes);
  return bake;
}

Result<std::vector<storage::Page>> Database::live_pages() {
  if (!directory_) {
    QM_TRY(flush());
    QM_TRY(resolve_deferred_retrieval(catalog_.retrieval(), store_.cas));
    return store_.cache.backend().read_all_pages();
  }
  // A workspace is exported without writing into it: each page is taken from the table's
  // tail copy, the cache or the chunk file, in that order, and stamped like a written page.
  // The caller holds the workspace lock (shared is enough: nothing is written).
  QM_TRY(refuse_after_write_failure());
  // Retrieval indexes a transaction changed go to the blob store, as a flush would put them.
  QM_TRY(publish_retrieval(catalog_.retrieval(), store_.cas));
  std::map<uint64_t, const storage::RowPage*> tails;
  for (const auto& [name, t] : catalog_.tables())
    if (t.tail_id && t.tail_page) tails.emplace(*t.tail_id, &*t.tail_page);
  storage::PageCache& cache = store_.cache;
  const uint64_t count = cache.backend().page_count();
  // The image holds every page the manifest counts; a count beyond the pages the chunk files
  // hold (and the pages allocated since) comes from a damaged manifest and must not size
  // the buffer.
  const uint64_t held = cache.backend().held_page_count();
  if (count > held)
    return fail(QmError::corruption("manifest page_count " + std::to_string(count) + " exceeds the " +
                                    std::to_string(held) + " pages the chunk files hold"));
  std::vector<storage::Page> pages(count);
  for (uint64_t id = 0; id < count; ++id) {
    storage::Page& page = pages[id];
    if (auto tail = tails.find(id); tail != tails.end()) {
      std::copy(tail->second->span().begin(), tail->second->span().end(), page.begin());
    } else {
      // Verified as a load verifies it, without entering the cache: the stamp below would
      // make a damaged page look sound.
      QM_TRY(cache.with_page_passing(
          id, [&](storage::ConstPageSpan bytes) { std::copy(bytes.begin(), bytes.end(), page.begin()); }));
    }
    storage::stamp_page_checksum(page);
  }
  return pages;
}

Result<std::string> Database::bake_to_bytes() {
  std::string out;
  QM_TRY(bake_into([&](uint64_t size) -> Result<std::span<uint8_t>> {
    if (size > out.max_size()) return fail(QmError::corruption("monolith size overflows address space"));
    out.resize(static_cast<size_t>(size));
    return std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()), out.size());
  }));
  return out;
}

Result<void> Database::bake_into(const ImagePlacer& place) {
  // Every page read happens under one hold of the workspace lock, over what this handle
  // last read or wrote (or, when another handle changed it since, what the disk holds now).
  QM_ASSIGN(WorkspaceAccess access, enter_workspace(/*write=*/false));
  // A workspace's pages are gathered as the handle sees them; any other store is flushed and
  // its pages are read straight into the image below.
  std::vector<storage::Page> workspace_pages;
  if (directory_) {
    QM_ASSIGN(workspace_pages, live_pages());
  } else {
    QM_TRY(flush());
    QM_TRY(resolve_deferred_retrieval(catalog_.retrieval(), store_.cas));
  }
  storage::Backend& backend = store_.cache.backend();
  const uint64_t page_count = directory_ ? workspace_pages.size() : backend.page_count();
  QM_ASSIGN(BakePlan bake, plan_bake(page_count));
  const std::string json = write_manifest_json(bake.manifest);
  QM_ASSIGN(storage::ImageLayout layout,
            storage::image_layout(page_count, bake.pool_length, bake.index_bytes.size(), json.size()));
  QM_ASSIGN(std::span<uint8_t> out, place(layout.total));

  storage::write_image_header(out.first<kFileHeaderSize>(), layout, bake.manifest.format_version);
  uint8_t* pages_at = out.data() + kFileHeaderSize;
  if (directory_) {
    if (page_count > 0) std::memcpy(pages_at, workspace_pages.data(), page_count * storage::kPageSize);
  } else {
    for (uint64_t id = 0; id < page_count; ++id)
      QM_TRY(backend.read_page_into(id, storage::PageSpan(pages_at + id * storage::kPageSize, storage::kPageSize)));
  }
  store_.cas.write_pool(out.subspan(layout.pages_end, bake.pool_length));
  if (!bake.index_bytes.empty())
    std::memcpy(out.data() + layout.index_offset, bake.index_bytes.data(), bake.index_bytes.size());
  if (!json.empty()) std::memcpy(out.data() + layout.manifest_offset, json.data(), json.size());
  return {};
}

Result<Database> Database::copy_to_memory() {
  QM_ASSIGN(WorkspaceAccess access, enter_workspace(/*write=*/false));
  std::optional<storage::MemoryStore> pages;
  if (directory_) {
    QM_ASSIGN(std::vector<storage::Page> live, live_pages());
    pages = storage::MemoryStore::from_page_area(
        {reinterpret_cast<const uint8_t*>(live.data()), live.size() * storage::kPageSize});
  } else {
    QM_TRY(flush());
    QM_TRY(resolve_deferred_retrieval(catalog_.retrieval(), store_.cas));
    QM_ASSIGN(pages, storage::MemoryStore::copy_of(store_.cache.backend()));
  }
  // The manifest a bake would write, and the checks an import makes of it.
  QM_ASSIGN(BakePlan bake, plan_bake(pages->page_count()));
  QM_TRY(check_manifest_version(bake.manifest));
  QM_TRY(retrieval_descriptors_of(bake.manifest));
  QM_ASSIGN(storage::CasStore cas, store_.cas.copy_to_memory());
  storage::PageCache cache(storage::Backend(std::move(*pages)), kPageCacheCapacity);
  QM_ASSIGN(Parts parts,
            image_parts(std::move(cache), std::move(cas), bake.manifest, /*writable=*/true, as_bytes(bake.index_bytes)));
  return Database(std::move(parts));
}

Result<Database> Database::import_bytes(std::span<const uint8_t> image) {
  QM_ASSIGN(Parts parts, import_parts(image));
  return Database(std::move(parts));
}

Result<Database> Database::import_lent(std::shared_ptr<const fs::Mapping> image) {
  const std::span<const uint8_t> bytes = image->bytes();
  QM_ASSIGN(Parts parts, import_parts(bytes, std::move(image)));
  return Database(std::move(parts));
}

Result<Database::Parts> Database::import_parts(std::span<const uint8_t> image, std::shared_ptr<const fs::Mapping> lent) {
  QM_ASSIGN(FileHeader header, FileHeader::decode(image));
  const uint64_t manifest_offset = header.manifest_offset;
  const uint64_t pages_end = header.pages_end;
  if (manifest_offset > image.size() || pages_end < kFileHeaderSize || pages_end > manifest_offset ||
      (pages_end - kFileHeaderSize) % storage::kPageSize != 0)
    return fail(QmError::corruption("import: inconsistent offsets"));

  QM_ASSIGN(Manifest manifest, read_manifest_json(as_chars(image.subspan(manifest_offset))));
  QM_TRY(check_manifest_version(manifest));
  QM_TRY(check_header_manifest_version(header.format_version, manifest));
  QM_TRY(retrieval_descriptors_of(manifest));

  storage::MemoryStore pages =
      storage::MemoryStore::from_page_area(image.subspan(kFileHeaderSize, pages_end - kFileHeaderSize));

  if (manifest.cas_dir.size() != manifest.cas_hashes.size())
    return fail(QmError::corruption("import: CAS dir/hash length mismatch"));
  QM_ASSIGN(uint64_t pool_end, cas_pool_end(manifest, pages_end, manifest_offset));
  const auto pool = image.subspan(pages_end, pool_end - pages_end);
  // Blob offsets in the bytes the store lends from: the pool's own copy, or the image.
  const uint64_t lent_base = lent ? static_cast<uint64_t>(pool.data() - lent->bytes().data()) : 0;
  storage::CasStore cas = lent ? storage::CasStore::lending(std::move(lent)) : storage::CasStore::over_pool_copy(pool);
  cas.reserve(manifest.cas_dir.size());
  auto inside_pool = [&](const Extent& e) { return e.first <= pool.size() && e.second <= pool.size() - e.first; };
  // Blobs are checked one by one in list order, as each names its own error, but their
  // digests are computed ahead, many side by side, and each blob is hashed only once.
  constexpr size_t kAhead = 4096;
  std::vector<std::span<const uint8_t>> ahead;
  std::vector<Digest> digests;
  size_t ahead_from = 0;
  for (size_t i = 0; i < manifest.cas_dir.size(); ++i) {
    if (i == ahead_from + ahead.size()) {
      ahead.clear();
      ahead_from = i;
      for (size_t j = i; j < manifest.cas_dir.size() && ahead.size() < kAhead && inside_pool(manifest.cas_dir[j]); ++j)
        ahead.push_back(pool.subspan(manifest.cas_dir[j].first, manifest.cas_dir[j].second));
      digests.resize(ahead.size());
      blake3_each(ahead, digests);
    }
    if (!inside_pool(manifest.cas_dir[i])) return fail(QmError::corruption("import: CAS blob out of bounds"));
    QM_ASSIGN(Digest listed, storage::cas::verify_blob_digest_hex(digests[i - ahead_from], manifest.cas_hashes[i]));
    QM_TRY(cas.put_listed_at(lent_base + manifest.cas_dir[i].first, manifest.cas_dir[i].second, listed));
  }
  QM_ASSIGN(auto region, slice_index_region(image, manifest, pages_end, manifest_offset));

  storage::PageCache cache(storage::Backend(std::move(pages)), kPageCacheCapacity);
  return image_parts(std::move(cache), std::move(cas), manifest, /*writable=*/true, region);
}

Result<Database::Parts> Database::image_parts(storage::PageCache cache, storage::CasStore cas,
                                              const Manifest& manifest, bool writable,
                                              std::span<const uint8_t> index_region) {
  QM_ASSIGN(TableMap tables, build_tables(cache, cas, manifest, writable, index_region));
  QM_ASSIGN(persistent::Catalog retrieval, load_retrieval_catalog(cache, cas, tables, manifest));
  Catalog catalog(std::move(tables));
  catalog.retrieval() = std::move(retrieval);
  return Parts{Store(std::move(cache), std::move(cas)), std::move(catalog), manifest.clock,
               manifest.format_version, std::nullopt, fs::Stat{}};
}

}  // namespace qm::db
