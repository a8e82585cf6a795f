// Image lists (ztxtdrv) and astronomical card-header files (zastro): the text
// and card layouts byte for byte, members of every size and coding, masks,
// the refusals of malformed lists and headers, nesting that leads back to
// itself, and the detection order that puts PCX before TGA.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "oracle.h"
#include "testutil.h"

// Allocation failure on demand: while failFrom is above 0, every operator new
// of at least that many bytes throws std::bad_alloc.
static std::atomic<size_t> failFrom{0};

// (out of line: the compiler must not pair the inlined malloc and free with new and delete)
[[gnu::noinline]] void* operator new(size_t n) {
  const size_t limit = failFrom.load();
  if (limit && n >= limit) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace qortest;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string textOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The message of what f raises with code 3; "" when it raises nothing or another code.
template <class F>
std::string error3(F&& f) {
  try {
    f();
  } catch (const x_qor& x) {
    return x.error() == 3 ? std::string(x.msg()) : "code " + std::to_string(x.error());
  }
  return "";
}

#define EXPECT_ERROR3(call, part) EXPECT_NE(error3([&] { call; }).find(part), std::string::npos) << error3([&] { call; })

const std::string kSignature = "QOR IMAGE-LIST ENSEMBLE SIGNATURE";

std::string listText(int n, const std::string& mask, const std::vector<std::string>& names) {
  std::string t = kSignature + "\r\n" + std::to_string(n) + " - Number of images \r\n" + mask + "\r\n";
  for (const std::string& name : names) t += name + "\r\n";
  return t;
}

// A bitmap member of coding bits and size, holding bytes k * 7 + seed.
Bytes writeBmp(Manager& mgr, const std::string& path, int bits, int x, int y, int seed) {
  Bytes px(size_t(x * y * (bits == 24 ? 3 : 1)));
  for (size_t k = 0; k < px.size(); ++k) px[k] = uint8_t(k * 7 + seed);
  TImageEnsemble e(path.c_str(), fiBmpFileInfo(bits, x, y), mgr.m);
  writePixels(e, bits == 24 ? stRGB : stUChar, px);
  return px;
}

// Image i as type: the image object takes the size of member i, which the
// ensemble learns only when it opens that member.
Bytes readImage(TImageEnsemble& e, int i, int type) {
  TqorImageBase* image = type == stRGB      ? static_cast<TqorImageBase*>(e.getRGBImage(i))
                         : type == stSShort ? static_cast<TqorImageBase*>(e.getSShortImage(i))
                                            : static_cast<TqorImageBase*>(e.getUCharImage(i));
  const auto* p = static_cast<const unsigned char*>(image->ptr());
  Bytes out(p, p + size_t(e.sizeX() * e.sizeY() * (type == stRGB ? 3 : type == stSShort ? 2 : 1)));
  e.freeImage(i);
  return out;
}

// ---------------------------------------------------------------- image lists

TEST(ImgList, WrittenListHasTheTextLayoutAndReadsBack) {
  TempDir dir;
  Manager mgr;
  const std::string list = dir.file("three.lst"), mask = dir.file("m??.bmp");
  std::vector<Bytes> written;
  {
    TImageEnsemble e(list.c_str(), fiImgListFileInfo(mask.c_str(), fiBmpFileInfo(8, 4, 3), 3), mgr.m);
    EXPECT_EQ(e.formatID(), idIMGLIST());
    for (int i = 0; i < 3; ++i) {
      Bytes px(12);
      for (size_t k = 0; k < px.size(); ++k) px[k] = uint8_t(k * 11 + i);
      e.writeUCharImage(i, px.data());
      written.push_back(px);
    }
  }
  EXPECT_EQ(textOf(readFile(list)),
            listText(3, mask, {dir.file("m00.bmp"), dir.file("m01.bmp"), dir.file("m02.bmp")}));
  TImageEnsemble in(list.c_str(), mgr.m);
  ASSERT_EQ(in.numberOfImages(), 3);
  EXPECT_EQ(in.coding(), 8);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(readImage(in, i, stUChar), written[size_t(i)]) << i;
}

// In a folder of its own: names are read relative to the working folder.
// Each member has its own size and coding, which the list takes on when it
// opens that member.
TEST(ImgList, MembersKeepTheirSizesAndNamesTheirLeadingBlanks) {
  TempDir dir;
  char saved[4096] = {};
  ASSERT_TRUE(getcwd(saved, sizeof saved));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  Manager mgr;
  const Bytes lead = writeBmp(mgr, "  lead.bmp", 8, 4, 3, 3);
  const Bytes trail = writeBmp(mgr, "trail.bmp", 24, 5, 2, 4);
  // line 1 runs on after the signature and ends in LF only; the last line has blanks, a tab and a CR
  writeFile("l.lst", bytesOf(kSignature + " and more\n2 - Number of images \r\n   m?.bmp  \r\n  lead.bmp\ntrail.bmp \t \r\n"));
  {
    TImageEnsemble e("l.lst", mgr.m);
    EXPECT_EQ(e.coding(), 8);
    EXPECT_EQ(e.paletteSize(), 256);
    EXPECT_EQ(readImage(e, 1, stRGB), trail);
    EXPECT_EQ(e.sizeX() * 10 + e.sizeY(), 52);
    EXPECT_EQ(e.coding(), 24);
    EXPECT_EQ(readImage(e, 0, stUChar), lead);
    EXPECT_EQ(e.sizeX() * 10 + e.sizeY(), 43);
  }
  EXPECT_EQ(chdir(saved), 0);
}

TEST(ImgList, ABufferSizedForOneMemberIsNotWrittenPastByALargerOne) {
  TempDir dir;
  Manager mgr;
  const Bytes small = writeBmp(mgr, dir.file("s.bmp"), 8, 2, 2, 1);
  writeBmp(mgr, dir.file("b.bmp"), 8, 5, 4, 2);
  writeFile(dir.file("l.lst"), bytesOf(listText(2, "m?.bmp", {dir.file("s.bmp"), dir.file("b.bmp")})));
  TImageEnsemble e(dir.file("l.lst").c_str(), mgr.m);
  Bytes buffer(4);
  e.readUCharImage(0, buffer.data());
  EXPECT_EQ(buffer, small);
  EXPECT_ERROR3(e.readUCharImage(1, buffer.data()), "takes 20 bytes; the buffer given for it was sized for 4 bytes");
}

struct MaskCase {
  const char* mask;
  int most;              // names the mask allows
  const char* lastName;  // the name of image most - 1
};

TEST(ImgList, MasksNumberTenNamesPerMark) {
  const MaskCase cases[] = {{"s?.bmp", 10, "s9.bmp"}, {"s??.bmp", 20, "s19.bmp"}, {"s???.bmp", 30, "s029.bmp"}};
  TempDir dir;
  Manager mgr;
  for (const MaskCase& c : cases) {
    SCOPED_TRACE(c.mask);
    const std::string mask = dir.file(c.mask), list = dir.file("m.lst");
    {
      TImageEnsemble e(list.c_str(), fiImgListFileInfo(mask.c_str(), fiBmpFileInfo(8, 1, 1), c.most), mgr.m);
      EXPECT_EQ(e.numberOfImages(), c.most);
    }
    const std::string text = textOf(readFile(list));
    EXPECT_NE(text.find("\r\n" + dir.file(c.lastName) + "\r\n"), std::string::npos) << text;
    TImageEnsemble e(mgr.m);
    EXPECT_TRUE(raises([&] { e.open(list.c_str(), fiImgListFileInfo(mask.c_str(), fiBmpFileInfo(8, 1, 1), c.most + 1)); },
                       3,
                       "The given filename mask: \"" + mask + "\" does not permit to generate filename with number " +
                           std::to_string(c.most + 1) + ".",
                       "ztxtdrv"));
    EXPECT_FALSE(fileExists(list));
  }
}

// Lists the reader refuses, each with a part of its message.
TEST(ImgList, MalformedListsAreRefused) {
  TempDir dir;
  Manager mgr;
  const std::string member = dir.file("a.bmp");
  writeBmp(mgr, member, 8, 2, 2, 5);
  const std::string tooLong(99, 'x');
  const struct {
    std::string text;
    const char* part;
  } cases[] = {
      {listText(0, "?", {member}), "File list number <= 0! "},
      {listText(-3, "?", {member}), "File list number <= 0! "},
      {kSignature + "\r\nnone\r\n?\r\n" + member + "\r\n", "File list number <= 0! "},
      {listText(2000000000, "?", {member}), "announces 2000000000 images"},
      {kSignature + "\r\n99999999999999999999999 - Number of images \r\n?\r\n" + member + "\r\n", "announces"},
      {listText(3, "?", {member, member}), "ends inside line 6"},
      {listText(1, "?", {member}).substr(0, listText(1, "?", {member}).size() - 1), "ends inside line 4"},
      {listText(2, "?", {tooLong, member}), "line 4 is longer than 99 characters"},
      {kSignature + std::string(70, ' ') + "\r\n1 - Number of images \r\n?\r\n" + member + "\r\n", "line 1 is longer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    writeFile(dir.file("bad.lst"), bytesOf(c.text));
    EXPECT_ERROR3(TImageEnsemble e(dir.file("bad.lst").c_str(), mgr.m), c.part);
  }
}

// A caller's stream that does not tell its size.
class UnsizedStream : public TqorMemoryStream {
public:
  using TqorMemoryStream::TqorMemoryStream;

protected:
  int sizeMethod() override { return 0; }
};

TEST(ImgList, HugeCountOnAStreamWithoutSizeEndsWithTheLines) {
  Bytes b = bytesOf(listText(2000000000, "?", {"a.bmp"}));
  Manager mgr;
  TImageEnsemble e(mgr.m);
  EXPECT_ERROR3(e.open(new UnsizedStream(b.data(), int(b.size()))), "ends inside line 5");
}

TEST(ImgList, WriterRefusesMasksAndNamesItCannotReadBack) {
  TempDir dir;
  Manager mgr;
  const struct {
    std::string mask;
    int n;
    const char* list;
    const char* part;
  } cases[] = {
      {std::string(300, 'a') + "?", 1, "w.lst", "longer than the 255 characters"},
      {dir.file(std::string(98, 'b') + "?"), 1, "w.lst", "a list line holds at most 98"},
      {dir.file("none.bmp"), 1, "w.lst", "does not permit to generate filename with number 1."},
      {dir.file("w?.lst"), 1, "w0.lst", "is the list's own file"},
      {dir.file("z?.bmp"), 0, "w.lst", "File list number <= 0! "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    const std::string list = dir.file(c.list);
    EXPECT_ERROR3(TImageEnsemble e(list.c_str(), fiImgListFileInfo(c.mask.c_str(), fiBmpFileInfo(8, 1, 1), c.n), mgr.m),
                  c.part);
    EXPECT_FALSE(fileExists(list));  // a refused create leaves no list behind
  }
}

TEST(ImgList, MembersThatLeadBackToTheirListAreRefusedAtAnyIndex) {
  TempDir dir;
  Manager mgr;
  const std::string self = dir.file("self.lst"), a = dir.file("a.lst"), b = dir.file("b.lst"), d = dir.file("d.dcx");
  const std::string self1 = dir.file("self1.lst"), c = dir.file("c.lst"), e1 = dir.file("e.lst");
  const std::string bmp = dir.file("m.bmp");
  { TImageEnsemble m(bmp.c_str(), fiBmpFileInfo(8, 3, 2), mgr.m); m.writeUCharImage(0, Bytes(6, 9).data()); }
  writeFile(self, bytesOf(listText(1, "?", {self})));
  writeFile(a, bytesOf(listText(1, "?", {b})));
  writeFile(b, bytesOf(listText(1, "?", {a})));
  // the loop behind member 1: the list opens, and reading that member is refused
  writeFile(self1, bytesOf(listText(2, "?", {bmp, self1})));
  writeFile(c, bytesOf(listText(2, "?", {bmp, e1})));
  writeFile(e1, bytesOf(listText(1, "?", {c})));
  // a DCX file whose only page is a list naming the DCX file
  Bytes dcx = {0xB1, 0x68, 0xDE, 0x3A, 12, 0, 0, 0, 0, 0, 0, 0};
  const Bytes page = bytesOf(listText(1, "?", {d}));
  dcx.insert(dcx.end(), page.begin(), page.end());
  writeFile(d, dcx);
  for (const std::string& file : {self, a, d}) {
    SCOPED_TRACE(file);
    EXPECT_ERROR3(TImageEnsemble e(file.c_str(), mgr.m), "lead back to the file itself");
  }
  EXPECT_ERROR3(TImageEnsemble e(a.c_str(), mgr.m), a + " -> " + b + " -> " + a);
  for (const std::string& file : {self1, c}) {
    SCOPED_TRACE(file);
    TImageEnsemble e(file.c_str(), mgr.m);
    Bytes px(6);
    e.readUCharImage(0, px.data());
    EXPECT_EQ(px, Bytes(6, 9));
    EXPECT_ERROR3(e.getUCharImage(1), "lead back to the file itself");
    EXPECT_ERROR3(e.readUCharImage(1, px.data()), "lead back to the file itself");
    EXPECT_FALSE(e.imageIsLoaded(1));
  }
}

TEST(ImgList, ChunkedReadingDeliversRowsAndThePalette) {
  TempDir dir;
  Manager mgr;
  Bytes px(20 * 40);
  for (size_t k = 0; k < px.size(); ++k) px[k] = uint8_t(k * 13);
  {
    TImageEnsemble m(dir.file("p.bmp").c_str(), fiBmpFileInfo(8, 20, 40), mgr.m);
    TUCharImage* img = m.getEmptyUCharImage(0);
    std::memcpy(img->ptr(), px.data(), px.size());
    for (int i = 0; i < 256; ++i) img->getPalette()[i] = TqorPaletteItem{uint8_t(i), uint8_t(255 - i), 7};
    m.putImage(0);
  }
  writeFile(dir.file("c.lst"), bytesOf(listText(1, "?", {dir.file("p.bmp")})));
  TImageEnsemble e(dir.file("c.lst").c_str(), mgr.m);
  e.setf(qorChunkMode);
  TUCharImage* img = e.getUCharImage(0);
  int chunks = 0;
  while (e.readNextChunk() == 0) ++chunks;
  EXPECT_EQ(chunks, e.chunksNumber());
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(img->ptr()), static_cast<uint8_t*>(img->ptr()) + px.size()), px);
  EXPECT_EQ(img->getPalette()[200].green, 55);
  // a reader that keeps asking after the end gets no further chunk
  EXPECT_EQ(e.readNextChunk(), 1);
}

TEST(ImgList, InnerEnsemblesFollowTheCallersManagerVariable) {
  TempDir dir;
  TQORDataManager* m = getQorDataManager();
  Manager other;
  writeBmp(other, dir.file("a.bmp"), 8, 2, 2, 6);
  writeFile(dir.file("l.lst"), bytesOf(listText(1, "?", {dir.file("a.bmp")})));
  {
    TImageEnsemble e(dir.file("l.lst").c_str(), m);
    e.getUCharImage(0);
    destroyQORDataManager(m);
    m = nullptr;
    // the members close against the variable the caller cleared
  }
  SUCCEED();
}

TEST(ImgList, FlatFactoryMakesTheDescriptor) {
  qorFileInfo* info = qorImgListInfo("x?.bmp", qorBmpInfo(8, 4, 3), 3);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(qorInf_FormatID(info), idIMGLIST());
  EXPECT_EQ(qorInf_NumberOfImages(info), 3);
  EXPECT_EQ(qorInf_SizeX(info), 4);
  qorInf_Destroy(info);  // the bitmap descriptor goes with it
}

// ---------------------------------------------------------------- astronomical files

// The seven cards, blank-filled to 80 columns.
std::string cards(const std::vector<std::string>& lines) {
  std::string h;
  for (const std::string& l : lines) h += l + std::string(80 - l.size(), ' ');
  return h;
}

TEST(Astro, WrittenFileHasTheCardsAndItsSamplesRoundTrip) {
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("s.fts");
  const short samples[6] = {-32768, -1, 0, 1, 12345, 32767};
  {
    TImageEnsemble e(path.c_str(), fiAstroFileInfo(16, 3, 2), mgr.m);
    EXPECT_EQ(e.formatID(), idASTROLUM());
    e.writeSShortImage(0, const_cast<short*>(samples));
  }
  const Bytes file = readFile(path);
  ASSERT_EQ(file.size(), 572u);
  EXPECT_EQ(textOf(Bytes(file.begin(), file.begin() + 560)),
            cards({"SIMPLE  =                    T/", "BITPIX  =                   16/",
                   "NAXIS   =                    2/", "NAXIS1  =                    3/",
                   "NAXIS2  =                    2/", "TEST    =                    0/", "END"}));
  EXPECT_EQ(Bytes(file.begin() + 560, file.end()), (Bytes{0, 0x80, 0xFF, 0xFF, 0, 0, 1, 0, 0x39, 0x30, 0xFF, 0x7F}));
  TImageEnsemble in(path.c_str(), mgr.m);
  short back[6] = {};
  in.readSShortImage(0, back);
  EXPECT_EQ(std::memcmp(back, samples, sizeof back), 0);
  EXPECT_ERROR3(in.getUCharImage(0), "Unknown convertion from 16 bits coding type  to type N 9.");
  EXPECT_ERROR3(in.getDoubleImage(0), "Unknown convertion from 16 bits coding type  to type N 6.");
}

TEST(Astro, HandMadeHeaderIsClaimedAndRead) {
  // cards in another order, values with comments, BITPIX with its sign
  Bytes b = bytesOf(cards({"SIMPLE  = T", "NAXIS2  =                    1 / rows", "BITPIX  =                  -16",
                           "NAXIS1  =                    2 / columns", "END", "", ""}));
  b.insert(b.end(), {0x34, 0x12, 0xFE, 0xFF});
  Manager mgr;
  TImageEnsemble e(mgr.m);
  e.open(new TqorMemoryStream(b.data(), int(b.size())));
  EXPECT_EQ(e.formatID(), idASTROLUM());
  EXPECT_EQ(e.sizeX(), 2);
  EXPECT_EQ(e.sizeY(), 1);
  EXPECT_EQ(e.coding(), 16);
  EXPECT_EQ(readImage(e, 0, stSShort), (Bytes{0x34, 0x12, 0xFE, 0xFF}));
}

TEST(Astro, HeadersWithoutUsableCardsAndOtherCodingsAreRefused) {
  const std::string simple = "SIMPLE  =                    T";
  const std::string bitpix = "BITPIX  =                   16", x = "NAXIS1  =                    2",
                    y = "NAXIS2  =                    2";
  const struct {
    std::string header;
    const char* part;
  } cases[] = {
      {cards({simple, bitpix, y, "END", "", "", ""}), "the NAXIS1 card is missing"},
      {cards({simple, x, y, "END", "", "", ""}), "the BITPIX card is missing"},
      {cards({simple, "BITPIX  =                    8", x, y, "", "", ""}), "BITPIX is 8"},
      {cards({simple, bitpix, "NAXIS1  =                    0", y, "", "", ""}), "is empty"},
      {cards({simple, bitpix, x, "NAXIS2  =          99999999999", "", "", ""}), "the NAXIS2 value is beyond"},
      // the keyword in the last columns: its value would lie past the header
      {cards({simple, bitpix, x, "", "", "", std::string(74, ' ') + "NAXIS2"}), "the NAXIS2 card is missing"},
  };
  Manager mgr;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    Bytes b = bytesOf(c.header);
    b.resize(b.size() + 64, 0);
    TImageEnsemble e(mgr.m);
    EXPECT_ERROR3(e.open(new TqorMemoryStream(b.data(), int(b.size()))), c.part);
  }
  // a short file that holds "SIMPLE" and nothing else is claimed and refused
  Bytes tiny = bytesOf("SIMPLE");
  TImageEnsemble e(mgr.m);
  EXPECT_ERROR3(e.open(new TqorMemoryStream(tiny.data(), int(tiny.size()))), "Astronomical file header");
  // rows are moved as 16-bit samples: another coding is refused at create
  TempDir dir;
  EXPECT_ERROR3(TImageEnsemble e(dir.file("c.fts").c_str(), fiAstroFileInfo(8, 3, 2), mgr.m),
                "8 bits per sample cannot be written");
  EXPECT_FALSE(fileExists(dir.file("c.fts")));
}

// ---- files of header blocks, as other tools write them

// A header of 2880-byte blocks: the cards, END, blanks to the block's end.
Bytes blockedHeader(std::vector<std::string> lines) {
  lines.push_back("END");
  std::string h = cards(lines);
  h.resize((h.size() + 2879) / 2880 * 2880, ' ');
  return bytesOf(h);
}

// Big-endian 16-bit samples, padded with zeros to a whole block.
Bytes bigEndian(const std::vector<int>& samples) {
  Bytes b;
  for (int v : samples) b.insert(b.end(), {uint8_t(uint16_t(v) >> 8), uint8_t(v)});
  b.resize((b.size() + 2879) / 2880 * 2880, 0);
  return b;
}

std::string card(const std::string& key, const std::string& value) {
  std::string c = key + std::string(8 - key.size(), ' ') + "= ";
  return c + std::string(20 - value.size(), ' ') + value;
}

std::vector<std::string> basicCards(int w, int h) {
  return {card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", std::to_string(w)),
          card("NAXIS2", std::to_string(h))};
}

std::vector<short> readShorts(TImageEnsemble& e) {
  std::vector<short> v(size_t(e.sizeX()) * size_t(e.sizeY()));
  e.readSShortImage(0, v.data());
  return v;
}

std::vector<double> readDoubles(TImageEnsemble& e) {
  std::vector<double> v(size_t(e.sizeX()) * size_t(e.sizeY()));
  e.readDoubleImage(0, v.data());
  return v;
}

struct BlockedCase {
  const char* name;
  std::vector<std::string> extraCards;
  int w, h;
  std::vector<int> stored;    // in file order: the bottom row first
  std::vector<double> image;  // top row first
  bool fitsShort;             // read into a signed 16-bit image as well
};

void PrintTo(const BlockedCase& c, std::ostream* os) { *os << c.name; }

class BlockedFile : public testing::TestWithParam<BlockedCase> {};

TEST_P(BlockedFile, ReadsScaledSamplesBottomRowFirst) {
  const BlockedCase& c = GetParam();
  std::vector<std::string> lines = basicCards(c.w, c.h);
  lines.insert(lines.end(), c.extraCards.begin(), c.extraCards.end());
  Bytes b = blockedHeader(lines);
  const Bytes data = bigEndian(c.stored);
  b.insert(b.end(), data.begin(), data.end());
  Manager mgr;
  TImageEnsemble e(mgr.m);
  e.open(new TqorMemoryStream(b.data(), int(b.size())));
  ASSERT_EQ(e.formatID(), idASTROLUM());
  EXPECT_EQ(e.sizeX(), c.w);
  EXPECT_EQ(e.sizeY(), c.h);
  EXPECT_EQ(readDoubles(e), c.image);
  if (c.fitsShort) {
    EXPECT_EQ(readShorts(e), std::vector<short>(c.image.begin(), c.image.end()));
  } else {
    EXPECT_ERROR3(readShorts(e), "which a signed 16-bit image cannot hold");
    EXPECT_ERROR3(readShorts(e), "with BZERO");
  }
  EXPECT_ERROR3(e.getUCharImage(0), "Unknown convertion from 16 bits coding type  to type N 9.");
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BlockedFile,
    testing::Values(
        // six cards: the END card lies inside the first 560 bytes, the samples start at 2880
        BlockedCase{"SixCardsSigned", {}, 3, 2, {-32768, -1, 0, 1, 2, 32767}, {1, 2, 32767, -32768, -1, 0}, true},
        BlockedCase{"SevenCardsEndWhereTheShortHeaderEnds", {card("EXTEND", "T")}, 2, 1, {258, -2}, {258, -2}, true},
        BlockedCase{"UnsignedThatFit", {card("BSCALE", "1.000000E+00"), card("BZERO", "3.276800E+04")}, 2, 1,
                    {-32768, -1}, {0, 32767}, true},
        BlockedCase{"UnsignedBeyondSigned", {card("BZERO", "32768")}, 2, 1, {0, 32767}, {32768, 65535}, false},
        BlockedCase{"FractionalScale", {card("BSCALE", "0.5D0"), card("BZERO", "-1")}, 2, 1, {3, 4}, {0.5, 1}, false},
        BlockedCase{"HeaderOfTwoBlocks", std::vector<std::string>(40, "HISTORY a header longer than one block"), 1, 2,
                    {7, 9}, {9, 7}, true}),
    qortest::caseName());

TEST(Astro, HeaderBlockFaultsAreRefusedNamingTheCard) {
  const struct {
    std::vector<std::string> lines;
    const char* part;
  } cases[] = {
      {{card("SIMPLE", "T"), card("BITPIX", "-32"), card("NAXIS", "2"), card("NAXIS1", "2"), card("NAXIS2", "2")},
       "BITPIX is -32; only samples of 16 bits are read."},
      {{card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "3"), card("NAXIS1", "2"), card("NAXIS2", "2"),
        card("NAXIS3", "3")},
       "NAXIS is 3; only images of 2 axes are read."},
      {{card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS1", "2"), card("NAXIS2", "2")},
       "the NAXIS card is missing or holds no whole number."},
      {{card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "2.5"), card("NAXIS2", "2")},
       "the NAXIS1 card is missing or holds no whole number."},
      {{card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "2"), card("NAXIS2", "2"),
        card("BZERO", "'text'")},
       "the BZERO card holds no number."},
      {{card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "99999999999"),
        card("NAXIS2", "2")},
       "is beyond 2147483647"},
      {{card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "0"), card("NAXIS2", "2")},
       "is empty"},
  };
  Manager mgr;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    Bytes b = blockedHeader(c.lines);
    b.resize(b.size() + 2880, 0);
    TImageEnsemble e(mgr.m);
    EXPECT_ERROR3(e.open(new TqorMemoryStream(b.data(), int(b.size()))), c.part);
  }
}

TEST(Astro, FileOfHeaderBlocksIsNotWrittenBack) {
  TempDir dir;
  const std::string path = dir.file("b.fits");
  Bytes b = blockedHeader(basicCards(2, 1));
  const Bytes data = bigEndian({1, 2});
  b.insert(b.end(), data.begin(), data.end());
  writeFile(path, b);
  Manager mgr;
  {
    TImageEnsemble e(path.c_str(), mgr.m);
    e.getSShortImage(0);
    EXPECT_ERROR3(e.putImage(0), "a file of 2880-byte header blocks is only read");
  }
  EXPECT_EQ(readFile(path), b);
}

// FITS files ImageMagick writes (`convert ... -depth 16 x.fits`: BZERO 32768,
// rows bottom row first) read as ImageMagick reads them back (`convert x.fits x.pgm`).
struct MagickFits {
  const char* name;
  const char* fx;  // the picture, an ImageMagick -fx expression of columns i and rows j
  bool fitsShort;
};

void PrintTo(const MagickFits& c, std::ostream* os) { *os << c.name; }

class MagickFile : public testing::TestWithParam<MagickFits> {};

TEST_P(MagickFile, ReadsWhatImageMagickShows) {
  const MagickFits& c = GetParam();
  QOR_REQUIRE_ORACLE(Tool::magick);
  const std::string fits = oracleDir().file(std::string(c.name) + ".fits"), pgm = fits + ".pgm";
  const std::string make = std::string(kMagick) + " -size 7x5 xc: -fx '" + c.fx + "' -depth 16 '" + fits + "'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  ASSERT_EQ(std::system((std::string(kMagick) + " '" + fits + "' -depth 16 '" + pgm + "'").c_str()), 0);
  const Bytes p = readFile(pgm);
  const std::string head = "P5\n7 5\n65535\n";
  ASSERT_EQ(textOf(Bytes(p.begin(), p.begin() + long(head.size()))), head);
  std::vector<double> shown;
  for (size_t k = head.size(); k + 1 < p.size(); k += 2) shown.push_back(p[k] << 8 | p[k + 1]);
  ASSERT_EQ(shown.size(), 35u);
  ASSERT_NE(shown.front(), shown.back());

  Manager mgr;
  TImageEnsemble e(fits.c_str(), mgr.m);
  ASSERT_EQ(e.formatID(), idASTROLUM());
  EXPECT_EQ(e.sizeX(), 7);
  EXPECT_EQ(e.sizeY(), 5);
  EXPECT_EQ(readDoubles(e), shown);
  if (c.fitsShort) {
    EXPECT_EQ(readShorts(e), std::vector<short>(shown.begin(), shown.end()));
  } else {
    EXPECT_ERROR3(readShorts(e), "with BZERO 32768 and BSCALE 1");
  }
}

INSTANTIATE_TEST_SUITE_P(Files, MagickFile,
                         testing::Values(MagickFits{"im_full", "(i + 7 * j) / 34", false},
                                         MagickFits{"im_low", "0.45 * (i + 7 * j) / 34", true}),
                         qortest::caseName());

// Files ImageMagick writes that hold other samples or more axes are refused at open.
TEST(Astro, ImageMagickFilesOfOtherSamplesAreRefused) {
  QOR_REQUIRE_ORACLE(Tool::magick);
  const struct {
    const char* name;
    const char* options;
    const char* part;
  } cases[] = {
      {"im_8.fits", "-size 4x3 gradient: -depth 8", "BITPIX is 8"},
      {"im_float.fits", "-size 4x3 gradient: -define quantum:format=floating-point -depth 32", "BITPIX is -32"},
      {"im_colour.fits", "-size 4x3 gradient:red-blue -depth 16", "NAXIS is 3"},
  };
  Manager mgr;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = oracleDir().file(c.name);
    ASSERT_EQ(std::system((std::string(kMagick) + " " + c.options + " '" + path + "'").c_str()), 0);
    EXPECT_ERROR3(TImageEnsemble e(path.c_str(), mgr.m), c.part);
  }
}

// Memory that runs out reaches the caller as x_qor, code 1, for both kinds of file.
TEST(Astro, AllocationFailureRaisesErrorOne) {
  Bytes shortHeader = bytesOf(cards({"SIMPLE  =                    T/", "BITPIX  =                   16/",
                                     "NAXIS   =                    2/", "NAXIS1  =              1000000/",
                                     "NAXIS2  =                    1/", "TEST    =                    0/", "END"}));
  shortHeader.resize(560 + 2000000, 1);
  Bytes blocked = blockedHeader(basicCards(1000000, 1));
  blocked.resize(blocked.size() + 2000000, 1);
  Manager mgr;
  for (Bytes* b : {&shortHeader, &blocked}) {
    int code = 0;
    failFrom = 1 << 20;
    try {
      TImageEnsemble e(mgr.m);
      e.open(new TqorMemoryStream(b->data(), int(b->size())));
    } catch (const x_qor& x) {
      code = x.error();
    } catch (const std::bad_alloc&) {
      code = -1;
    }
    failFrom = 0;
    EXPECT_EQ(code, 1) << (b == &blocked ? "header blocks" : "560-byte header");
  }
}

// ---------------------------------------------------------------- detection order

// PCX is asked before TGA: a Targa file whose identification field is 10
// bytes long starts with the PCX mark, and with origin 0, 0 its header reads
// as a PCX window of one pixel.
TEST(DetectionOrder, TargaWithTenByteIdentificationOpensAsPcx) {
  Bytes b = {10, 0, 3, 8, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 32, 0, 8, 0};
  b.resize(18 + 10 + 32 * 32, 0);
  b[65] = 1;  // PCX planes
  b[66] = 1;  // PCX bytes per line
  Manager mgr;
  TImageEnsemble e(mgr.m);
  e.open(new TqorMemoryStream(b.data(), int(b.size())));
  EXPECT_EQ(e.formatID(), idPCX());
  EXPECT_EQ(e.sizeX(), 1);
  EXPECT_EQ(e.sizeY(), 1);
}

}  // namespace
