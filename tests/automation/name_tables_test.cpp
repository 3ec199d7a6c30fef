// The name tables of the classes dispatched without the type library, checked against it.
#include <Tamrix.h>

#include <memory>

#include "automation/name_table_check.h"
#include "common/object.h"
#include "manager/conversion_job.h"
#include "manager/tamrix_host.h"
#include "results/picture_properties.h"
#include "results/spi_file_info.h"
#include "results/spi_local_heap.h"

namespace {

using nametablecheck::ExpectNameTableMatchesTypeLib;

TEST(NameTables, TamrixHostAgreesWithTheTypeLibrary) {
    auto host = Tamrix::Make<Tamrix::TamrixHost>();
    ASSERT_TRUE(host);
    ExpectNameTableMatchesTypeLib(IID_ITamrixHost4, Tamrix::TamrixHost::NAMES, static_cast<ITamrixHost4*>(host.get()),
                                  Tamrix::TamrixHost::MAX_ARGS);
}

TEST(NameTables, ConversionJobAgreesWithTheTypeLibrary) {
    auto job = Tamrix::Make<Tamrix::ConversionJob>(nullptr);
    ASSERT_TRUE(job);
    ExpectNameTableMatchesTypeLib(IID_IConversionJob, Tamrix::ConversionJob::NAMES,
                                  static_cast<IConversionJob*>(job.get()), Tamrix::ConversionJob::MAX_ARGS);
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

TEST(NameTables, PicturePropertiesAgreesWithTheTypeLibrary) {
    auto facts = Tamrix::Make<Tamrix::PictureProperties>(SPI::PictureProperties{});
    ASSERT_TRUE(facts);
    ExpectNameTableMatchesTypeLib(IID_IPictureProperties, Tamrix::PictureProperties::NAMES,
                                  static_cast<IPictureProperties*>(facts.get()), Tamrix::PictureProperties::MAX_ARGS);
}

}  // namespace
