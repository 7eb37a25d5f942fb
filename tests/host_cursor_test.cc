// host_cursor_test.cc - what the stand-in's reader and cursor answer for
// each key of a recording: events, blocks, channel queries, every data
// type, and the defaults when a key is left out.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "eq_data.h"
#include "event_util.h"
#include "standin.h"
#include "zarn_daq_data.h"
#include "zarn_daq_reader_2010.h"

using namespace standin;

namespace {

const char *const kHeader = R"({"format":"korvel-recording","version":1,"channels":[)"
                            R"({"name":"A"},{"name":"S","sub":2,"type":3},{"name":"CAM","type":4},)"
                            R"({"name":"EQ","type":5},{"name":"M","type":1}]})";

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

// A run of kHeader (or another header) and one event bound to a cursor.
struct Bound {
    std::unique_ptr<Run> run;
    Event event;
    Cursor cursor;

    explicit Bound(const std::string &event_line, const std::string &header = kHeader) {
        RunHeader h;
        std::string err;
        EXPECT_TRUE(parse_header(header, &h, &err)) << err;
        run = std::make_unique<Run>(h);
        EXPECT_TRUE(parse_event(event_line, *run, &event, &err)) << err;
        cursor.bind(*run, event);
    }
    zarn_daq_getdata *d() {
        return cursor.get();
    }
};

}  // namespace

TEST(HostCursor, EventHeaderAndDefaults) {
    Bound b(R"({"id":7,"type":3,"time":[100,250],"status":-9,"channels":{"A":{},"M":{}}})");
    unsigned evid = 0, len = 0, tup = 0, tlow = 0;
    int type = 0, status = 0, nsrvb = 0;
    ASSERT_EQ(0, b.d()->GetEventInfo(&evid, &type, &len, &tup, &tlow, &status, &nsrvb));
    EXPECT_EQ(7u, evid);
    EXPECT_EQ(3, type);
    EXPECT_EQ(100u, tup);
    EXPECT_EQ(250u, tlow);
    EXPECT_EQ(-9, status);
    EXPECT_EQ(2, nsrvb);  // one server block per channel entry

    Bound d(R"({"id":1})");
    ASSERT_EQ(0, d.d()->GetEventInfo(&evid, &type, nullptr, &tup, &tlow, &status, nullptr));
    EXPECT_EQ(1, type);  // NORMAL
    EXPECT_EQ(0u, tup);
    EXPECT_EQ(0u, tlow);
    EXPECT_EQ(0, status);
}

TEST(HostCursor, FailingEventInfoLeavesOutputs) {
    Bound b(R"({"id":5,"fail":true})");
    unsigned evid = 77;
    int type = 66;
    EXPECT_NE(0, b.d()->GetEventInfo(&evid, &type, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(77u, evid);
    EXPECT_EQ(66, type);
}

TEST(HostCursor, MpulseDefaultsToIdAsSigned) {
    // 4294967295 read as a signed 32-bit int is -1.
    Bound b(R"({"id":4294967295,"channels":{"A":{}}})");
    int mpulse = 0;
    EXPECT_EQ(2, b.d()->SetProp("A"));
    ASSERT_EQ(
        0, b.d()->GetServBlockInfo(nullptr, nullptr, nullptr, &mpulse, nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, mpulse);

    Bound e(R"({"id":3,"mpulse":40,"channels":{"A":{},"M":{"block":{"mpulse":41}}}})");
    e.d()->SetProp("A");
    e.d()->GetServBlockInfo(nullptr, nullptr, nullptr, &mpulse, nullptr, nullptr, nullptr);
    EXPECT_EQ(40, mpulse);
    e.d()->SetProp("M");
    e.d()->GetServBlockInfo(nullptr, nullptr, nullptr, &mpulse, nullptr, nullptr, nullptr);
    EXPECT_EQ(41, mpulse);
    e.d()->SetProp("CAM");  // not in the event: the event's number
    e.d()->GetServBlockInfo(nullptr, nullptr, nullptr, &mpulse, nullptr, nullptr, nullptr);
    EXPECT_EQ(40, mpulse);
}

TEST(HostCursor, ChannelNotInEvent) {
    Bound b(R"({"id":9,"time":[11,12],"mpulse":13,"status":5,"channels":{"A":{}}})");
    zarn_daq_getdata *d = b.d();
    EXPECT_EQ(0, d->SetProp("S:2"));
    unsigned tup = 0, tlow = 0;
    int mpulse = 0, status = -1, nchan = -1;
    EXPECT_EQ(0, d->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, nullptr, &status, &nchan));
    EXPECT_EQ(11u, tup);
    EXPECT_EQ(12u, tlow);
    EXPECT_EQ(13, mpulse);
    EXPECT_EQ(0, status);  // not the event's status
    EXPECT_EQ(0, nchan);
    const char *name = nullptr;
    int chstatus = -1;
    EXPECT_EQ(0, d->GetChanInfo(&name, nullptr, &chstatus, nullptr));
    EXPECT_STREQ("S", name);  // the bare name, without ":2"
    EXPECT_EQ(0, chstatus);
    EXPECT_EQ(nullptr, d->GetChanHead_2010());
    EXPECT_EQ(nullptr, d->GetServBlockHead_2010());
    EXPECT_EQ(0, d->data_2010);
    EXPECT_EQ(0, d->Nmemb);
    int x;
    EXPECT_NE(0, d->GetImagePar(&x, &x, &x, &x));
    EXPECT_NE(0, d->GetRoiPar(nullptr, nullptr, nullptr, nullptr, nullptr, 0));

    // A text that is no channel of the run is not in the event either.
    EXPECT_EQ(0, d->SetProp("NOPE"));
    EXPECT_EQ(0, d->GetChanInfo(&name, nullptr, &chstatus, nullptr));
    EXPECT_STREQ("NOPE", name);
}

TEST(HostCursor, ChannelTypeBlockAndChanKeys) {
    Bound b(R"({"id":2,"time":[50,60],"channels":{)"
            R"("A":{"type":-3,"block":{"time":[70,80],"mpulse":90,"status":4,"nchan":6},)"
            R"("chan":{"name":"other","status":8}},)"
            R"("S:2":{},"CAM":{"type":0,"chan":{"name":null}},)"
            R"("M":{"block":{"fail":true}},"EQ":{"chan":{"fail":true}}}})");
    zarn_daq_getdata *d = b.d();
    EXPECT_EQ(-3, d->SetProp("A"));
    unsigned tup = 0, tlow = 0;
    int mpulse = 0, status = 0, nchan = 0;
    ASSERT_EQ(0, d->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, nullptr, &status, &nchan));
    EXPECT_EQ(70u, tup);
    EXPECT_EQ(80u, tlow);
    EXPECT_EQ(90, mpulse);
    EXPECT_EQ(4, status);
    EXPECT_EQ(6, nchan);
    const char *name = nullptr;
    int chstatus = 0;
    ASSERT_EQ(0, d->GetChanInfo(&name, nullptr, &chstatus, nullptr));
    EXPECT_STREQ("other", name);
    EXPECT_EQ(8, chstatus);
    ASSERT_NE(nullptr, d->GetChanHead_2010());
    EXPECT_EQ(1, d->data_2010);
    EXPECT_EQ(-3, d->GetChanHead_2010()->type);
    EXPECT_EQ(8, d->GetChanHead_2010()->status);
    EXPECT_EQ(-1, d->GetChanHead_2010()->nsub);
    ASSERT_NE(nullptr, d->GetServBlockHead_2010());
    EXPECT_EQ(90, d->GetServBlockHead_2010()->mpulse);
    EXPECT_EQ(70u, d->GetServBlockHead_2010()->timeup);

    // Defaults: the channel's type, the event's time, status 0, nchan 1,
    // the bare channel name.
    EXPECT_EQ(3, d->SetProp("S:2"));
    ASSERT_EQ(0, d->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, nullptr, &status, &nchan));
    EXPECT_EQ(50u, tup);
    EXPECT_EQ(60u, tlow);
    EXPECT_EQ(2, mpulse);
    EXPECT_EQ(0, status);
    EXPECT_EQ(1, nchan);
    ASSERT_EQ(0, d->GetChanInfo(&name, nullptr, &chstatus, nullptr));
    EXPECT_STREQ("S", name);
    EXPECT_EQ(0, chstatus);
    EXPECT_EQ(2, d->GetChanHead_2010()->nsub);

    EXPECT_EQ(0, d->SetProp("CAM"));  // type 0 given in the entry
    ASSERT_EQ(0, d->GetChanInfo(&name, nullptr, &chstatus, nullptr));
    EXPECT_EQ(nullptr, name);

    EXPECT_EQ(1, d->SetProp("M"));
    mpulse = 12345;
    EXPECT_NE(0,
              d->GetServBlockInfo(nullptr, nullptr, nullptr, &mpulse, nullptr, nullptr, nullptr));
    EXPECT_EQ(12345, mpulse);

    EXPECT_EQ(5, d->SetProp("EQ"));
    EXPECT_EQ(0,
              d->GetServBlockInfo(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_NE(0, d->GetChanInfo(&name, nullptr, &chstatus, nullptr));
}

TEST(HostCursor, ImageAndFastBlocks) {
    Bound none(R"({"id":1})");
    EXPECT_EQ(0, none.d()->SetImage(0));
    EXPECT_EQ(0, none.d()->SetFast(0));

    Bound b(R"({"id":4,"time":[1,2],"status":3,"mpulse":5,)"
            R"("image_block":{},"fast_block":{"time":[7,8],"status":9,"mpulse":10}})");
    zarn_daq_getdata *d = b.d();
    unsigned tup = 0, tlow = 0;
    int mpulse = 0, status = 0, nchan = 0;
    EXPECT_EQ(1, d->SetImage(0));
    ASSERT_EQ(0, d->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, nullptr, &status, &nchan));
    EXPECT_EQ(1u, tup);  // each defaults to the event's
    EXPECT_EQ(2u, tlow);
    EXPECT_EQ(3, status);
    EXPECT_EQ(5, mpulse);
    EXPECT_EQ(1, d->SetFast(0));
    ASSERT_EQ(0, d->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, nullptr, &status, &nchan));
    EXPECT_EQ(7u, tup);
    EXPECT_EQ(8u, tlow);
    EXPECT_EQ(9, status);
    EXPECT_EQ(10, mpulse);
    EXPECT_EQ(0, d->SetImage(1));  // only block 0 exists
}

TEST(HostCursor, SingleValuesAndValueForms) {
    Bound b(R"({"id":1,"channels":{"A":{"value":0.1}}})");
    zarn_daq_getdata *d = b.d();
    d->SetProp("A");
    int n = -5;
    EXPECT_TRUE(d->GetValNamPrm(nullptr, nullptr, nullptr, &n, nullptr));
    EXPECT_EQ(bits(0.1f), bits(d->GetSingle(0)));  // 0.1 rounded once to float

    Bound e(R"({"id":1,"channels":{"A":{}}})");
    e.d()->SetProp("A");
    EXPECT_TRUE(e.d()->GetValNamPrm(nullptr, nullptr, nullptr, &n, nullptr));
    EXPECT_EQ(0u, bits(e.d()->GetSingle(0)));  // neither value nor items: +0

    struct Case {
        const char *json;
        uint32_t bits;
    } cases[] = {
        {"1.5", 0x3fc00000u},
        {"-2", 0xc0000000u},
        {"16777217", 0x4b800000u},      // integer rounded once: 16777216
        {"3.4028235e38", 0x7f7fffffu},  // the largest float
        {"1e39", 0x7f800000u},          // beyond it: infinity
        {"\"inf\"", 0x7f800000u},
        {"\"-inf\"", 0xff800000u},
        {"\"nan\"", 0x7fc00000u},
        {"\"-nan\"", 0xffc00000u},
        {"\"-0\"", 0x80000000u},
        {"{\"bits\":42}", 42u},
        {"{\"bits\":-1}", 0xffffffffu},
        {"{\"bits\":2139095041}", 0x7f800001u},  // a signalling NaN kept as is
    };
    for (const Case &c : cases) {
        Bound v(std::string(R"({"id":1,"channels":{"A":{"value":)") + c.json + "}}}");
        v.d()->SetProp("A");
        EXPECT_EQ(c.bits, bits(v.d()->GetSingle(0))) << c.json;
    }
}

TEST(HostCursor, NameValueItemsAndCount) {
    Bound b(R"({"id":1,"channels":{"A":{"items":[["x",1],[null,0.25]]},)"
            R"("M":{"items":[["y",2]],"count":-4},"EQ":{"count":3}}})");
    zarn_daq_getdata *d = b.d();
    d->SetProp("A");
    int n = 0;
    EXPECT_FALSE(d->GetValNamPrm(nullptr, nullptr, nullptr, &n, nullptr));
    EXPECT_EQ(2, n);
    const char *nm = "unset";
    float v = -1;
    EXPECT_TRUE(d->GetValNamChan(&nm, &v, 0));
    EXPECT_STREQ("x", nm);
    EXPECT_EQ(1.0f, v);
    EXPECT_TRUE(d->GetValNamChan(&nm, &v, 1));
    EXPECT_EQ(nullptr, nm);
    EXPECT_EQ(0.25f, v);
    nm = "unset";
    v = -1;
    EXPECT_FALSE(d->GetValNamChan(&nm, &v, 2));  // past the items
    EXPECT_EQ(nullptr, nm);
    EXPECT_EQ(0.0f, v);
    EXPECT_FALSE(d->GetValNamChan(&nm, &v, -1));

    d->SetProp("M");
    EXPECT_FALSE(d->GetValNamPrm(nullptr, nullptr, nullptr, &n, nullptr));
    EXPECT_EQ(-4, n);  // the count overrides the item count
    d->SetProp("EQ");
    EXPECT_FALSE(d->GetValNamPrm(nullptr, nullptr, nullptr, &n, nullptr));
    EXPECT_EQ(3, n);
    EXPECT_FALSE(d->GetValNamChan(&nm, &v, 0));  // more counted than held
}

TEST(HostCursor, SpectrumMembers) {
    Bound b(R"({"id":1,"channels":{"S:2":{"members":[)"
            R"({"values":[1,0.5,-2],"stat":{"mask":5,"val":{"0":1.5,"2":-2}}},)"
            R"({"fail":true},)"
            R"({"start":10,"inc":0.25,"groups":3,"groups_inc":2,"values":[1,2,3,4,5,6,7,8,9,10]},)"
            R"({"ndata":-7,"groups":1})"
            R"(]},"A":{"members":[{}],"nmemb":9}}})");
    zarn_daq_getdata *d = b.d();
    EXPECT_EQ(3, d->SetProp("S:2"));
    EXPECT_EQ(4, d->Nmemb);
    float start = -1, inc = -1, ginc = -1;
    int ndata = -1, groups = -1;
    zarn_spect_statistics_2010 *stat = nullptr;
    ASSERT_EQ(0, d->GetSpectPar(&start, &inc, nullptr, &ndata, 0, &groups, &ginc, &stat));
    EXPECT_EQ(0.0f, start);
    EXPECT_EQ(1.0f, inc);
    EXPECT_EQ(0.0f, ginc);
    EXPECT_EQ(0, groups);
    EXPECT_EQ(3, ndata);
    ASSERT_NE(nullptr, stat);
    EXPECT_EQ(5u, stat->mask);
    EXPECT_EQ(1.5f, stat->val[0]);
    EXPECT_EQ(0.0f, stat->val[1]);
    EXPECT_EQ(-2.0f, stat->val[2]);
    EXPECT_EQ(0.5f, d->GetSpectVal(0, 1));
    EXPECT_EQ(0.0f, d->GetSpectVal(0, 3));  // past the values
    EXPECT_EQ(0.0f, d->GetSpectVal(0, -1));

    EXPECT_NE(0, d->GetSpectPar(&start, &inc, nullptr, &ndata, 1, &groups, &ginc, &stat));

    zarn_spect_statistics_2010 sentinel{};
    stat = &sentinel;
    ASSERT_EQ(0, d->GetSpectPar(&start, &inc, nullptr, &ndata, 2, &groups, &ginc, &stat));
    EXPECT_EQ(&sentinel, stat);  // no statistics: the pointer stays
    EXPECT_EQ(10.0f, start);
    EXPECT_EQ(0.25f, inc);
    EXPECT_EQ(3, groups);
    EXPECT_EQ(2.0f, ginc);
    EXPECT_EQ(3, ndata);                     // 10 values / 3 groups, rounded down
    EXPECT_EQ(10.0f, d->GetSpectVal(2, 9));  // indices run across groups

    ASSERT_EQ(0, d->GetSpectPar(nullptr, nullptr, nullptr, &ndata, 3, &groups, nullptr, nullptr));
    EXPECT_EQ(-7, ndata);
    EXPECT_EQ(1, groups);

    EXPECT_NE(0, d->GetSpectPar(&start, &inc, nullptr, &ndata, 4, &groups, &ginc, &stat));
    EXPECT_NE(0, d->GetSpectPar(&start, &inc, nullptr, &ndata, -1, &groups, &ginc, &stat));

    d->SetProp("A");
    EXPECT_EQ(9, d->Nmemb);  // nmemb overrides the member count
    EXPECT_NE(0, d->GetSpectPar(&start, &inc, nullptr, &ndata, 1, &groups, &ginc, &stat));
}

TEST(HostCursor, RegionOfInterest) {
    Bound b(R"({"id":1,"channels":{"S:2":{"members":[{}],"roi":{"w":4,"h":3,)"
            R"("mean":1.5,"max":9,"sig":0.5,"cofm":2.25,"start1":-1,"inc1":0.5,)"
            R"("ndata1":4,"data":[7,8]}}}})");
    zarn_daq_getdata *d = b.d();
    d->SetProp("S:2");
    void *blk = nullptr;
    float start = 0, inc = 0, *mean = nullptr;
    int ndata = 0;
    ASSERT_EQ(0, d->GetRoiPar(&blk, &start, &inc, &mean, &ndata, 0));
    auto *roi = static_cast<zarn_image_roi1 *>(blk);
    EXPECT_EQ(4, roi->roi_param.w);
    EXPECT_EQ(3, roi->roi_param.h);
    EXPECT_EQ(1.5f, roi->stat.stat1.mean);
    EXPECT_EQ(9.0f, roi->stat.stat1.max);
    EXPECT_EQ(0.5f, roi->stat.stat1.sig);
    EXPECT_EQ(2.25f, roi->stat.stat1.cofm);
    EXPECT_EQ(-1.0f, roi->stat.start1);
    EXPECT_EQ(0.5f, roi->stat.inc1);
    EXPECT_EQ(4, roi->stat.ndata1);
    EXPECT_EQ(-1.0f, start);
    EXPECT_EQ(0.5f, inc);
    EXPECT_EQ(4, ndata);
    ASSERT_NE(nullptr, mean);
    EXPECT_EQ(7.0f, mean[0]);
    EXPECT_EQ(8.0f, mean[1]);
    EXPECT_EQ(0.0f, mean[2]);  // zero-padded to ndata1
    EXPECT_EQ(0.0f, mean[3]);

    Bound none(R"({"id":1,"channels":{"S:2":{"members":[{}]}}})");
    none.d()->SetProp("S:2");
    EXPECT_NE(0, none.d()->GetRoiPar(&blk, &start, &inc, &mean, &ndata, 0));
}

TEST(HostCursor, ImageDefaultsAndPixels) {
    Bound b(R"({"id":33,"channels":{"CAM":{"image":{"bpp":2,"width":2,"height":2,)"
            R"("pixels":"0102fffe"}}}})");
    zarn_daq_getdata *d = b.d();
    EXPECT_EQ(4, d->SetProp("CAM"));
    int nframe = 0, compr = -1, bpp = 0, len = 0;
    ASSERT_EQ(0, d->GetImagePar(&nframe, &compr, &bpp, &len));
    EXPECT_EQ(1, nframe);
    EXPECT_EQ(0, compr);
    EXPECT_EQ(2, bpp);
    EXPECT_EQ(8, len);  // 2 x 2 x 2
    int xs = -1, xi = -1, nx = -1, ys = -1, yi = -1, ny = -1;
    EXPECT_EQ(8, d->GetImageSize(&xs, &xi, &nx, &ys, &yi, &ny));
    EXPECT_EQ(0, xs);
    EXPECT_EQ(1, xi);
    EXPECT_EQ(2, nx);
    EXPECT_EQ(0, ys);
    EXPECT_EQ(1, yi);
    EXPECT_EQ(2, ny);
    unsigned char *px = d->GetImage();
    ASSERT_NE(nullptr, px);
    const unsigned char want[8] = {0x01, 0x02, 0xff, 0xfe, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(want, px, 8));  // zero-padded to len
    zarn_image_ext_frame_head *h = d->GetImageHeader();
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(2, h->width);
    EXPECT_EQ(2, h->height);
    EXPECT_EQ(2, h->bpp);
    EXPECT_EQ(8, h->length);
    EXPECT_EQ(33u, h->event);
    EXPECT_EQ(0u, h->frame);
    EXPECT_EQ(0, h->aoi_width);
    EXPECT_EQ(0.0f, h->scale_x);

    // The plug-in swaps in place: the same event keeps the swap, the next
    // binding gets fresh bytes.
    zarn_swap2(px, px, 4);
    EXPECT_EQ(0x02, d->GetImage()[0]);
    b.cursor.bind(*b.run, b.event);
    d->SetProp("CAM");
    EXPECT_EQ(0x01, d->GetImage()[0]);
}

TEST(HostCursor, ImageKeysGiven) {
    Bound b(
        R"({"id":2,"channels":{"CAM":{"image":{"bpp":1,"width":3,"height":1,"len":5,)"
        R"("size":4,"nframe":2,"compr":7,"pixels":"aabbccddeeff",)"
        R"("header":{"width":99,"frame":4000000000,"scale_x":1.5,"ispare4":-6,"length":1}}},)"
        R"("A":{"image":{"fail":true,"width":5,"height":1}},"M":{"image":{"bpp":-1,"width":2,"height":2,"len":0}}}})");
    zarn_daq_getdata *d = b.d();
    d->SetProp("CAM");
    int nframe = 0, compr = 0, bpp = 0, len = 0;
    ASSERT_EQ(0, d->GetImagePar(&nframe, &compr, &bpp, &len));
    EXPECT_EQ(2, nframe);
    EXPECT_EQ(7, compr);
    EXPECT_EQ(1, bpp);
    EXPECT_EQ(5, len);
    EXPECT_EQ(4, d->GetImageSize(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    unsigned char *px = d->GetImage();
    ASSERT_NE(nullptr, px);
    EXPECT_EQ(0xff, px[5]);  // more pixel bytes than len: all are kept
    zarn_image_ext_frame_head *h = d->GetImageHeader();
    EXPECT_EQ(99, h->width);
    EXPECT_EQ(1, h->height);
    EXPECT_EQ(4000000000u, h->frame);
    EXPECT_EQ(1.5f, h->scale_x);
    EXPECT_EQ(-6, h->ispare4);
    EXPECT_EQ(1, h->length);
    EXPECT_EQ(2u, h->event);

    // fail: GetImagePar fails, the other image queries still answer; any
    // data type may carry an image (a bad channel asks for it).
    EXPECT_EQ(2, d->SetProp("A"));
    EXPECT_NE(0, d->GetImagePar(&nframe, &compr, &bpp, &len));
    int nx = 0;
    EXPECT_EQ(5, d->GetImageSize(nullptr, nullptr, &nx, nullptr, nullptr, nullptr));
    EXPECT_EQ(5, nx);

    d->SetProp("M");
    ASSERT_EQ(0, d->GetImagePar(&nframe, &compr, &bpp, &len));
    EXPECT_EQ(-1, bpp);
    EXPECT_EQ(0, len);
    EXPECT_NE(nullptr, d->GetImage());
}

TEST(HostCursor, EqDataConversionAndPrintout) {
    Bound b(R"({"id":1,"channels":{"EQ":{"eq":{"type":2,"values":[1,2.5,-3]}},)"
            R"("A":{"eq":{"type":1,"fail":true}},"M":{}}})");
    zarn_daq_getdata *d = b.d();
    d->SetProp("EQ");
    EqData *eq = nullptr;
    ASSERT_EQ(
        0, zarn_daq_to_eqdata(nullptr, d->GetServBlockHead_2010(), d->GetChanHead_2010(), &eq, 0));
    ASSERT_NE(nullptr, eq);
    EXPECT_EQ(2, eq->type());
    EXPECT_STREQ("FLOAT", eq->type_string(eq->type()));
    testing::internal::CaptureStdout();
    print_data_type_2010(d->GetChanHead_2010(), 1, 0);
    EXPECT_EQ("  values: 1 2.5 -3\n", testing::internal::GetCapturedStdout());

    d->SetProp("A");
    EXPECT_EQ(
        1, zarn_daq_to_eqdata(nullptr, d->GetServBlockHead_2010(), d->GetChanHead_2010(), &eq, 0));
    d->SetProp("M");
    EXPECT_EQ(
        1, zarn_daq_to_eqdata(nullptr, d->GetServBlockHead_2010(), d->GetChanHead_2010(), &eq, 0));
    EXPECT_EQ(1, zarn_daq_to_eqdata(nullptr, nullptr, nullptr, &eq, 0));
    zarn_serv_block_subhead_2010 stranger{};
    EXPECT_EQ(1, zarn_daq_to_eqdata(nullptr, nullptr, &stranger, &eq, 0));
}

TEST(HostCursor, UnboundCursorFailsSafely) {
    Cursor c;
    zarn_daq_getdata *d = c.get();
    EXPECT_NE(0, d->GetEventInfo(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, d->SetProp("A"));
    EXPECT_EQ(0, d->SetImage(0));
    EXPECT_NE(0,
              d->GetServBlockInfo(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_NE(0, d->GetChanInfo(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(nullptr, d->GetImage());
    EXPECT_EQ(nullptr, d->GetImageHeader());
    EXPECT_EQ(nullptr, d->GetChanHead_2010());
}

TEST(HostCursor, EventsBuiltInMemory) {
    RunHeader h;
    h.channels.push_back({std::string("V"), -1, 2});
    h.channels.push_back({std::string("P"), 1, 3});
    standin::Run run(h);
    Event ev;
    ev.id = 8;
    ev.add("V").value = 2.5f;
    SpectMember &m = ev.add("P:1").members.emplace_back();
    m.values = {4, 5};
    Cursor c;
    c.bind(run, ev);
    zarn_daq_getdata *d = c.get();
    EXPECT_EQ(2, d->SetProp("V"));
    EXPECT_EQ(2.5f, d->GetSingle(0));
    EXPECT_EQ(3, d->SetProp("P:1"));  // the type comes from the run's channel
    EXPECT_EQ(1, d->Nmemb);
    EXPECT_EQ(5.0f, d->GetSpectVal(0, 1));
    EXPECT_EQ(1, d->GetChanHead_2010()->nsub);
}

TEST(HostReader, AnswersFromTheRunHeader) {
    RunHeader h;
    std::string err;
    ASSERT_TRUE(parse_header(
        R"({"format":"korvel-recording","version":1,"channels":[{"name":"A"},{"name":null},)"
        R"({"name":"B","sub":0}],"descriptions":[{"daq_name":"B","desc":"beam","units":"mA"},)"
        R"({"daq_name":"A"}],"empty_events":4})",
        &h, &err))
        << err;
    standin::Run run(h);
    zarn_daq_reader_2010 *r = run.reader();
    EXPECT_EQ(3, r->get_number_of_channels());
    int sub = 99;
    EXPECT_STREQ("A", r->get_channel_name(0, &sub));
    EXPECT_EQ(-1, sub);
    EXPECT_EQ(nullptr, r->get_channel_name(1, &sub));
    EXPECT_STREQ("B", r->get_channel_name(2, &sub));
    EXPECT_EQ(0, sub);
    EXPECT_EQ(nullptr, r->get_channel_name(3, &sub));
    EXPECT_EQ(nullptr, r->get_channel_name(-1, &sub));
    EXPECT_EQ(4, r->get_number_of_empty_events());
    EXPECT_EQ(0, r->get_number_of_events());  // none delivered yet
    run.count_event();
    run.count_event();
    EXPECT_EQ(2, r->get_number_of_events());
    std::vector<chan_descr_2010 *> &list = r->get_descr_list();
    ASSERT_EQ(2u, list.size());
    EXPECT_STREQ("B", list[0]->daq_name);
    EXPECT_EQ("beam", list[0]->desc);
    EXPECT_EQ("mA", list[0]->units);
    EXPECT_STREQ("A", list[1]->daq_name);
    EXPECT_EQ("", list[1]->desc);
    EXPECT_EQ("", list[1]->units);
    EXPECT_EQ(2, run.find_channel("B:0"));
    EXPECT_EQ(-1, run.find_channel("B"));

    RunHeader g = h;
    g.events = 17;
    standin::Run fixed(g);
    fixed.count_event();
    EXPECT_EQ(17, fixed.reader()->get_number_of_events());

    zarn_daq_reader_2010 detached;
    EXPECT_EQ(0, detached.get_number_of_channels());
    EXPECT_EQ(nullptr, detached.get_channel_name(0, &sub));
    EXPECT_TRUE(detached.get_descr_list().empty());
}
