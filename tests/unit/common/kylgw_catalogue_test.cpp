// The message catalogue both sides decode with: every category and
// function code, typed from the wire tables, has its row with a request
// and reply codec where a body travels; rows are unique; and every row's
// codecs round-trip a zeroed record of the row's size (which the sanitizer
// build checks against the record the codec writes).

#include "codec_testutil.h"
#include "kylgw_catalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace codectest;

struct Row {
    uint16_t category, function;
    bool request, reply;  // a body travels
};

const Row kRows[] = {
    {256, 0, false, true},     {256, 1, true, true},       {1792, 256, true, false},   {1792, 257, true, false},
    {1792, 258, true, false},  {512, 16, true, true},      {512, 18, false, true},     {512, 20, true, true},
    {512, 32, false, true},    {512, 33, true, false},     {512, 128, true, true},     {512, 256, true, true},
    {512, 259, true, true},    {512, 260, true, true},     {512, 304, true, true},     {1280, 258, true, true},
    {1280, 776, true, false},  {1280, 777, true, false},   {1280, 779, true, true},    {1280, 1538, true, true},
    {1280, 1539, true, true},  {1280, 1540, true, true},   {1280, 1546, true, false},  {1280, 1547, true, true},
    {1280, 1792, false, true}, {1280, 1799, false, true},  {1280, 1801, true, true},   {1280, 1809, false, true},
    {1280, 3075, true, true},  {1280, 3076, true, true},   {1280, 3329, true, false},  {1280, 3840, true, true},
    {1280, 3842, true, false}, {1280, 3843, true, true},   {1280, 4609, true, true},   {1280, 4610, true, false},
    {1280, 4615, true, true},  {1280, 4616, true, false},  {1280, 4866, true, false},  {1280, 4867, true, false},
    {1280, 4869, true, true},  {1280, 4873, true, true},   {1280, 5376, true, true},   {1280, 5378, true, false},
    {1280, 5889, true, true},  {1280, 5890, true, false},  {1536, 256, true, true},    {1536, 262, true, true},
    {2048, 256, true, true},   {5888, 834, true, false},   {5632, 256, true, true},    {5632, 257, false, true},
    {5632, 261, false, false}, {5632, 515, false, true},   {5632, 518, true, true},    {5632, 521, true, false},
    {5632, 527, true, false},
};

void collect(const kylgw_msgtype_t *row, void *arg)
{
    static_cast<std::vector<const kylgw_msgtype_t *> *>(arg)->push_back(row);
}

// Encodes a zeroed record, decodes it into another and encodes that again.
void expectZeroedRoundTrip(kyl_xdrproc_t codec, size_t size)
{
    ASSERT_GT(size, 0u);
    std::unique_ptr<void, void (*)(void *)> in(calloc(1, size), free), back(calloc(1, size), free);
    kyl_xdr_outbuf first, second;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &first);
    ASSERT_TRUE(codec(&x, in.get()));
    kyl_xdr_memsource src(first.data, first.len);
    kyl_xdr_create_decode(&x, &src);
    EXPECT_TRUE(codec(&x, back.get()));
    EXPECT_EQ(src.left, 0u);
    kyl_xdr_create_encode(&x, &second);
    EXPECT_TRUE(codec(&x, back.get()));
    EXPECT_EQ(Bytes(first.data, first.data + first.len), Bytes(second.data, second.data + second.len));
    kyl_xdr_free(codec, back.get());
    kyl_xdr_outbuf_free(&first);
    kyl_xdr_outbuf_free(&second);
}

TEST(Catalogue, EveryFunctionCodeHasItsRowAndCodecs)
{
    std::vector<const kylgw_msgtype_t *> all;
    kylgw_ForEachMsgType(collect, &all);
    EXPECT_EQ(all.size(), sizeof kRows / sizeof kRows[0]);
    std::set<std::pair<uint16_t, uint16_t>> seen;
    for (const kylgw_msgtype_t *row : all)
        EXPECT_TRUE(seen.insert({row->category, row->function}).second) << row->category << "/" << row->function;
    for (const Row &want : kRows) {
        SCOPED_TRACE(std::to_string(want.category) + "/" + std::to_string(want.function));
        const kylgw_msgtype_t *row = kylgw_LookupMsgType(want.category, want.function);
        ASSERT_NE(row, nullptr);
        EXPECT_NE(row->name, nullptr);
        EXPECT_EQ(row->request != nullptr, want.request);
        EXPECT_EQ(row->reply != nullptr, want.reply);
        EXPECT_EQ(row->request != nullptr, row->requestSize > 0);
        EXPECT_EQ(row->reply != nullptr, row->replySize > 0);
        if (row->request != nullptr)
            expectZeroedRoundTrip(row->request, row->requestSize);
        if (row->reply != nullptr)
            expectZeroedRoundTrip(row->reply, row->replySize);
    }
    EXPECT_EQ(kylgw_LookupMsgType(512, 17), nullptr);
}

} // namespace
