// Every cell of every converter table of the drivers: a cell the table lists
// hands out a converter like the one its row makes, which converts a short
// row; every other cell is refused as an unknown converter.
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "testutil.h"

namespace {

using namespace qortest;

struct Table {
  const char* name;
  const TConverters& (*set)();
};

// One line per converter table.
const Table kTables[] = {
    {"NativeToMemory", []() -> const TConverters& { return TKavFormatDriver::converters2Memory(); }},
    {"NativeToDisk", []() -> const TConverters& { return TKavFormatDriver::converters2Disk(); }},
    {"BitmapToMemory", []() -> const TConverters& { return TBitmapConverters::tables().disk2Memory(); }},
    {"BitmapToDisk", []() -> const TConverters& { return TBitmapConverters::tables().memory2Disk(); }},
    {"PcxToMemory", []() -> const TConverters& { return TPCXConverters::tables().disk2Memory(); }},
    {"PcxToDisk", []() -> const TConverters& { return TPCXConverters::tables().memory2Disk(); }},
    {"TargaToMemory", []() -> const TConverters& { return TTargaConverters::tables().disk2Memory(); }},
    {"TargaToDisk", []() -> const TConverters& { return TTargaConverters::tables().memory2Disk(); }},
#if QOR_WITH_JPEG
    {"JpegToMemory", []() -> const TConverters& { return TJpegConverters::tables().disk2Memory(); }},
    {"JpegToDisk", []() -> const TConverters& { return TJpegConverters::tables().memory2Disk(); }},
#endif
#if QOR_WITH_TIFF
    {"TiffToMemory", []() -> const TConverters& { return TTiffConverters::tables().disk2Memory(); }},
    {"TiffInvertedToMemory", []() -> const TConverters& { return TTiffConverters::tables().inverted().disk2Memory(); }},
    {"TiffToDisk", []() -> const TConverters& { return TTiffConverters::tables().memory2Disk(); }},
#endif
#if QOR_WITH_PNG
    {"PngToMemory", []() -> const TConverters& { return TPngConverters::tables().disk2Memory(); }},
    {"PngToDisk", []() -> const TConverters& { return TPngConverters::tables().memory2Disk(); }},
#endif
};

const std::vector<int> kStCodes = {stDouble, stSChar, stSShort, stUChar,  stUShort,
                                   stSLong,  stULong, stRGB,    stOneBit, stBitmap};
const std::vector<int> kBitsCodes = {image1BitPerPix,  image4BitPerPix,  image8BitPerPix, image15BitPerPix,
                                     image16BitPerPix, image24BitPerPix, image32BitPerPix};

const std::vector<int>& codes(int isBits) { return isBits ? kBitsCodes : kStCodes; }
const char* codeName(int code, int isBits) { return isBits ? bitsCodingName(code) : stCodingName(code); }

struct Cell {
  const Table* table;
  int src, dest;
};

void PrintTo(const Cell& c, std::ostream* os) { *os << c.table->name << " " << c.src << " " << c.dest; }

std::vector<Cell> everyCell() {
  std::vector<Cell> cells;
  for (const Table& t : kTables)
    for (int src : codes(t.set().sourceIsBits()))
      for (int dest : codes(t.set().destinationIsBits())) cells.push_back({&t, src, dest});
  return cells;
}

const TConverterRow* rowOf(const TConverters& set, int src, int dest) {
  for (int i = 0; i < set.tableSize(); ++i)
    if (set.tableRows()[i].source == src && set.tableRows()[i].destination == dest) return &set.tableRows()[i];
  return nullptr;
}

TEST(ConverterTables, EveryTableIsBuiltFromRowsOfItsFamilies) {
  for (const Table& t : kTables) {
    SCOPED_TRACE(t.name);
    const TConverters& set = t.set();
    ASSERT_NE(set.tableRows(), nullptr);
    EXPECT_GT(set.tableSize(), 0);
    for (int i = 0; i < set.tableSize(); ++i) {
      const TConverterRow& r = set.tableRows()[i];
      const std::vector<int>& from = codes(set.sourceIsBits());
      const std::vector<int>& to = codes(set.destinationIsBits());
      EXPECT_NE(std::find(from.begin(), from.end(), r.source), from.end()) << "row " << i;
      EXPECT_NE(std::find(to.begin(), to.end(), r.destination), to.end()) << "row " << i;
    }
  }
}

class TableCell : public testing::TestWithParam<Cell> {};

TEST_P(TableCell, ListedCellsConvertOthersAreRefused) {
  const Cell& c = GetParam();
  const TConverters& set = c.table->set();
  const TConverterRow* row = rowOf(set, c.src, c.dest);
  if (!row) {
    EXPECT_TRUE(raises([&] { delete set.get(c.src, c.dest); }, 3,
                       std::string("Unknown converter srcN = ") + codeName(c.src, set.sourceIsBits()) +
                           " destN = " + codeName(c.dest, set.destinationIsBits()) + ".",
                       "zsigens2"));
    return;
  }
  std::unique_ptr<TImgConvertA2B> got(set.get(c.src, c.dest)), made(row->make());
  ASSERT_NE(got, nullptr);
  ASSERT_NE(made, nullptr);
  const TImgConvertA2B &g = *got, &m = *made;
  EXPECT_EQ(typeid(g), typeid(m));
  EXPECT_EQ(got->sourceSize(), made->sourceSize());
  EXPECT_EQ(got->destSize(), made->destSize());
  EXPECT_EQ(got->destMax, made->destMax);
  EXPECT_EQ(got->destMin, made->destMin);
  EXPECT_EQ(got->scalingEnabled(), made->scalingEnabled());
  // a short row from zeros; packed rows (size 0) get generous buffers
  const int count = 5;
  Bytes in(got->sourceSize() ? size_t(got->sourceSize() * count) : 64, 0);
  Bytes out(got->destSize() ? size_t(got->destSize() * count) : 64, 0xEE);
  EXPECT_EQ(got->convert(out.data(), in.data(), count), count);
}

INSTANTIATE_TEST_SUITE_P(Tables, TableCell, testing::ValuesIn(everyCell()),
                         [](const testing::TestParamInfo<Cell>& info) {
                           const Cell& c = info.param;
                           const TConverters& set = c.table->set();
                           return std::string(c.table->name) + "_" + codeName(c.src, set.sourceIsBits()) + "_" +
                                  codeName(c.dest, set.destinationIsBits());
                         });

}  // namespace
