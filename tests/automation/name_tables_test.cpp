// The name tables of the classes dispatched without the type library, checked against it.
#include <Tamrix.h>

#include <memory>

#include "automation/name_table_check.h"
#include "common/object.h"
#include "manager/tamrix_host.h"
#include "results/spi_file_info.h"
#include "results/spi_local_heap.h"

namespace {

using nametablecheck::ExpectNameTableMatchesTypeLib;

TEST(NameTables, TamrixHostAgreesWithTheTypeLibrary) {
    auto host = Tamrix::Make<Tamrix::TamrixHost>();
    ASSERT_TRUE(host);
    ExpectNameTableMatchesTypeLib(IID_ITamrixHost2, Tamrix::TamrixHost::NAMES, static_cast<ITamrixHost2*>(host.get()),
                                  Tamrix::TamrixHost::MAX_ARGS);
}

TEST(NameTables, SpiLocalHeapAgreesWithTheTypeLibrary) {
    auto heap = Tamrix::Make<Tamrix::SpiLocalHeap>();
    ASSERT_TRUE(heap);
    ExpectNameTableMatchesTypeLib(IID_ISpiLocalHeap, Tamrix::SpiLocalHeap::NAMES,
                                  static_cast<ISpiLocalHeap*>(heap.get()), Tamrix::SpiLocalHeap::MAX_ARGS);
}

TEST(NameTables, SpiFileInfoAgreesWithTheTypeLibrary) {
    auto entry = Tamrix::Make<Tamrix::SpiFileInfo>(std::make_shared<const SPI::fileInfo>());
    ASSERT_TRUE(entry);
    ExpectNameTableMatchesTypeLib(IID_ISpiFileInfo, Tamrix::SpiFileInfo::NAMES, static_cast<ISpiFileInfo*>(entry.get()),
                                  Tamrix::SpiFileInfo::MAX_ARGS);
}

}  // namespace
