// The single-file image: baking any database into one self-contained byte image, and
// importing an image into a new writable memory database. The import treats its bytes as
// hostile: every offset and length is checked before use, every blob is verified against its
// digest, and the catalog is rebuilt exactly as for a writable database (tail pages held,
// every UNIQUE column indexed). The imported database is independent of the bytes.
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/file_header.h"
#include "db/catalog_rebuild.h"
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
  std::vector<storage::Page> pages(count);
  for (uint64_t id = 0; id < count; ++id) {
    storage::Page& page = pages[id];
    if (auto tail = tails.find(id); tail != tails.end()) {
      std::copy(tail->second->span().begin(), tail->second->span().end(), page.begin());
    } else if (cache.is_resident(id)) {
      QM_TRY(cache.with_page(id, [&](storage::ConstPageSpan bytes) { std::copy(bytes.begin(), bytes.end(), page.begin()); }));
    } else {
      QM_TRY(cache.backend().read_page_into(id, page));
    }
    storage::stamp_page_checksum(page);
  }
  return pages;
}

Result<std::string> Database::bake_to_bytes() {
  // Every page read happens under one hold of the workspace lock, over what this handle
  // last read or wrote (or, when another handle changed it since, what the disk holds now).
  QM_ASSIGN(WorkspaceAccess access, enter_workspace(/*write=*/false));
  QM_ASSIGN(std::vector<storage::Page> pages, live_pages());
  storage::PackedPool packed = store_.cas.pack();
  QM_ASSIGN(IndexRegion region, build_index_region());
  QM_ASSIGN(storage::ImageLayout layout,
            storage::image_layout(pages.size(), packed.pool.size(), region.bytes.size(), 0));
  IndexPlan plan;
  plan.kind = IndexPlan::Kind::Binary;
  plan.binary = std::move(region.tables);
  plan.region_offset = layout.index_offset;
  plan.region_length = region.bytes.size();
  QM_ASSIGN(Manifest manifest, build_manifest(true, plan, &packed.directory));
  const std::string json = write_manifest_json(manifest);
  return storage::bake_monolith_bytes_with_index(pages, as_bytes(packed.pool), as_bytes(region.bytes),
                                                 as_bytes(json), manifest.format_version);
}

Result<Database> Database::import_bytes(std::span<const uint8_t> image) {
  QM_ASSIGN(Parts parts, import_parts(image));
  return Database(std::move(parts));
}

Result<Database::Parts> Database::import_parts(std::span<const uint8_t> image) {
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

  storage::MemStore pages =
      storage::MemStore::from_page_area(image.subspan(kFileHeaderSize, pages_end - kFileHeaderSize));

  if (manifest.cas_dir.size() != manifest.cas_hashes.size())
    return fail(QmError::corruption("import: CAS dir/hash length mismatch"));
  QM_ASSIGN(uint64_t pool_end, cas_pool_end(manifest, pages_end, manifest_offset));
  const auto pool = image.subspan(pages_end, pool_end - pages_end);
  storage::CasStore cas = storage::CasStore::new_memory();
  for (size_t i = 0; i < manifest.cas_dir.size(); ++i) {
    const auto [offset, length] = manifest.cas_dir[i];
    if (offset > pool.size() || length > pool.size() - offset)
      return fail(QmError::corruption("import: CAS blob out of bounds"));
    const auto blob = pool.subspan(offset, length);
    QM_TRY(storage::cas::verify_blob_hash_hex(blob, manifest.cas_hashes[i]));
    QM_TRY(cas.put_listed(blob));
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
