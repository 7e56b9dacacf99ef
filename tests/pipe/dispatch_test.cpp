// The dispatcher and the request handlers on a real database: acceptance of
// messages, reply headers, and each request type's checks and effects.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/texts.h"
#include "db/zembrik_db.h"
#include "manager/zembrik_mgr.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "pal/strings.h"
#include "pipe/request_builder.h"
#include "pipe/zembrik_client.h"
#include "pipe/zembrik_user.h"
#include "support/test_support.h"

using pipetest::Message;

namespace {

class DispatchTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        RegisterProgramResources();
        LoadTexts();
        db_ = std::make_unique<ZembrikDb>();
        ASSERT_EQ(db_->LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules), 0u);
        EndpointContext given;
        given.database = db_.get();
        given.host = &manager_;  // the manager WithManager makes, for kills
        given.manager = [](void* host) { return static_cast<std::unique_ptr<ZembrikMgr>*>(host)->get(); };
        server_ = std::make_unique<ZembrikUser>(given);
        client_ = std::make_unique<ZembrikClient>(new ClientContext{1, nullptr, kRequestBufferSize, kReplyBufferSize,
                                                                    &server_->Endpoint(), server_.get()});
    }
    void TearDown() override {
        client_.reset();
        db_->SetLiveLists(LiveLists{});
        manager_.reset();
        server_.reset();
        db_.reset();
    }
    void GrantAllRights() {
        for (const WCHAR* k : kAccessKeys) {
            std::u16string path = std::u16string(kParametersKeyPath) + u"\\" + k;
            HKEY h = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr),
                      0);
            RegCloseKey(h);
        }
    }
    void WithManager() {
        ManagerContext given;
        given.database = db_.get();
        manager_ = std::make_unique<ZembrikMgr>(&given);
        db_->SetLiveLists(ZembrikMgr::LiveListsOf(manager_.get()));
    }
    // Sends the first `length` bytes of a message (all when 0).
    DWORD Send(Message& m, size_t length = 0) {
        size_t n = length != 0 ? length : m.bytes.size();
        std::vector<BYTE> bytes = m.bytes;
        bytes.resize(n);
        memcpy(client_->RequestBuffer(), bytes.data(), n);
        replyLength_ = client_->Dispatch(static_cast<DWORD>(n));
        return replyLength_;
    }
    const RequestHeader& Reply() { return *reinterpret_cast<const RequestHeader*>(client_->ReplyBuffer()); }
    template <typename T>
    const T& Record(int i = 0) {
        return reinterpret_cast<const T*>(client_->ReplyBuffer() + kHeaderSize)[i];
    }
    static std::vector<BYTE> ProcRule(const char16_t* name, const char16_t* memberOf = u"",
                                      const std::string& varData = "") {
        std::vector<BYTE> b(kProcDetailFixedSize + varData.size(), 0);
        auto* d = reinterpret_cast<ProcDetail*>(b.data());
        lstrcpynW(d->summary.name, name, 64);
        lstrcpynW(d->summary.memberOf, memberOf, 64);
        d->summary.mgmt.mgmtFlags = ApplyPriority | (memberOf[0] != 0 ? static_cast<DWORD>(JoinGroup) : 0u);
        d->summary.mgmt.priority = 6;
        d->varDataLength = static_cast<SHORT>(varData.size());
        memcpy(b.data() + kProcDetailFixedSize, varData.data(), varData.size());
        return b;
    }
    static NameRule Alias(WCHAR type, const char16_t* match, const char16_t* name) {
        NameRule r{};
        r.matchType = type;
        lstrcpynW(r.match, match, 64);
        lstrcpynW(r.name, name, 64);
        return r;
    }

    std::unique_ptr<ZembrikDb> db_;
    std::unique_ptr<ZembrikUser> server_;
    std::unique_ptr<ZembrikMgr> manager_;
    std::unique_ptr<ZembrikClient> client_;
    DWORD replyLength_ = 0;
};

// Every reply carries the request's id, operation, type and tag, even a
// reply to a message too short to be a request.
TEST_F(DispatchTest, AcceptanceAndReplyHeaders) {
    Message m(ReqServiceInfo, OpGet);
    EXPECT_EQ(Send(m, 77), kHeaderSize);
    EXPECT_EQ(Reply().signature, kRequestSignature);
    EXPECT_EQ(Reply().requestId, 0x1234u);
    EXPECT_EQ(Reply().operation, OpGet);
    EXPECT_EQ(Reply().requestType, ReqServiceInfo);
    EXPECT_EQ(Reply().clientTag, 7);
    EXPECT_EQ(Reply().replyMark, 1);
    EXPECT_EQ(Reply().result, ResultBadRequest);
    EXPECT_EQ(Reply().resultKind, 2);
    EXPECT_NE(Reply().replyTime, 0u);

    // dataLength 100: 150 bytes are too few, 178 are enough.
    std::vector<BYTE> key(100, 0);
    Message list(ReqProcSummaries, OpGet, key.data(), key.size());
    EXPECT_EQ(Send(list, 150), kHeaderSize);
    EXPECT_EQ(Reply().result, ResultBadRequest);
    Send(list, 178);
    EXPECT_EQ(Reply().result, 0u);

    Message negative(ReqProcSummaries, OpGet);
    negative.header().dataLength = -100;
    Send(negative);
    EXPECT_EQ(Reply().result, ResultBadRequest) << "a length below zero is refused";
    Message signature(ReqProcSummaries, OpGet);
    signature.header().signature = 0xD06EFACF;
    Send(signature);
    EXPECT_EQ(Reply().result, ResultBadRequest);
    for (BYTE type : {BYTE(0), BYTE(10), BYTE(76), BYTE(78)}) {
        Message unknown(type, OpGet);
        Send(unknown);
        EXPECT_EQ(Reply().result, ResultBadRequest) << int(type);
    }
    Message wrongOp(ReqProcSummaries, OpAdd);
    Send(wrongOp);
    EXPECT_EQ(Reply().result, ResultBadRequest);
}

// Bytes that did not arrive never come from the request before.
TEST_F(DispatchTest, MissingBytesReadAsZeros) {
    std::vector<BYTE> rule = ProcRule(u"Stale");
    Message full(ReqProcRule, OpAdd, rule.data(), rule.size());
    Send(full);
    ASSERT_EQ(Reply().result, 0u);
    Message shorter(ReqProcRule, OpAdd);  // no data at all: an empty name
    Send(shorter);
    EXPECT_EQ(Reply().result, ResultBadName);
}

// Parameters: the poll interval is checked first and stays set when the
// pipe time-out is refused; a refused interval leaves the time-out alone.
TEST_F(DispatchTest, ParametersInOrder) {
    ParameterBlock p{1, 0, 0, 250};
    Message m = pipetest::With(ReqParameters, OpReplace, p);
    Send(m);
    EXPECT_EQ(Reply().result, 5u) << "no SetPollSeconds right";
    EXPECT_EQ(Reply().resultKind, 1);
    GrantAllRights();
    Send(m);
    EXPECT_EQ(Reply().result, ResultBadValue);
    EXPECT_EQ(server_->DefaultTimeOut(), 5000u);
    m.data<ParameterBlock>() = ParameterBlock{30, 0, 0, 50};
    Send(m);
    EXPECT_EQ(Reply().result, ResultBadValue);
    EXPECT_EQ(db_->PollMilliseconds(), 30000u);
    for (DWORD bad : {99u, 120001u}) {
        m.data<ParameterBlock>() = ParameterBlock{30, 0, 0, bad};
        Send(m);
        EXPECT_EQ(Reply().result, ResultBadValue);
    }
    m.data<ParameterBlock>() = ParameterBlock{45, 0, 0, 250};
    EXPECT_EQ(Send(m), kHeaderSize);
    EXPECT_EQ(Reply().result, 0u);
    EXPECT_EQ(server_->DefaultTimeOut(), 250u);
    EXPECT_EQ(db_->PollMilliseconds(), 45000u);
}

// Service control: the control word and the bit masks are checked before
// anything runs; restores need their right.
TEST_F(DispatchTest, ServiceControlChecks) {
    Message m(ReqServiceControl, OpControl);
    m.header().control = kControlWord;
    m.header().argument = kControlRequired;
    Send(m);
    EXPECT_EQ(Reply().result, 0u) << "the required bits alone do nothing";
    m.header().argument = kControlRequired | 0x40;
    Send(m);
    EXPECT_EQ(Reply().result, ResultBadRequest);
    m.header().argument = 0x80060002;
    Send(m);
    EXPECT_EQ(Reply().result, ResultBadRequest);
    m.header().argument = kControlRequired;
    m.header().control = 0;
    Send(m);
    EXPECT_EQ(Reply().result, ResultBadRequest);
    Message get(ReqServiceControl, OpGet);
    get.header().control = kControlWord;
    get.header().argument = kControlRequired;
    Send(get);
    EXPECT_EQ(Reply().result, ResultBadRequest);

    std::vector<BYTE> rule = ProcRule(u"Keep");
    Message add(ReqProcRule, OpAdd, rule.data(), rule.size());
    Send(add);
    m.header().control = kControlWord;
    m.header().argument = kControlRequired | CtlRestoreProcRules;
    Send(m);
    EXPECT_EQ(Reply().result, 5u);
    EXPECT_EQ(db_->ProcCount(), 1u);
    GrantAllRights();
    Send(m);
    EXPECT_EQ(Reply().result, 0u);
    EXPECT_EQ(db_->ProcCount(), 0u);
}

// Alias rules: the match type is upper-cased and checked, names checked,
// indexes checked against the default rule, stamps against the list.
TEST_F(DispatchTest, NameRules) {
    Message get(ReqNameRules, OpGet);
    Send(get);
    ASSERT_EQ(Reply().result, 0u);
    ASSERT_EQ(Reply().recordCount, 1) << "the default rule";
    EXPECT_EQ(Reply().recordSize, 388);
    DWORD stamp = Reply().listStamp;

    Message add = pipetest::With(ReqNameRules, OpAdd, Alias(u'p', u"zb*", u"Zed"));
    add.header().stamp = stamp;
    add.header().argument = 0;
    Send(add);
    ASSERT_EQ(Reply().result, 0u);
    EXPECT_EQ(Reply().recordCount, 0) << "no data unless asked";
    Send(get);
    ASSERT_EQ(Reply().recordCount, 2);
    EXPECT_EQ(Record<NameRule>(0).matchType, u'P');
    stamp = Reply().listStamp;

    Message bad = pipetest::With(ReqNameRules, OpAdd, Alias(u'X', u"a", u"b"));
    bad.header().stamp = stamp;
    Send(bad);
    EXPECT_EQ(Reply().result, ResultBadValue);
    bad.data<NameRule>() = Alias(u'P', u"a", u" b");
    Send(bad);
    EXPECT_EQ(Reply().result, ResultBadName);
    // The stored form ends a description at a quote: one inside would not read back.
    bad.data<NameRule>() = Alias(u'P', u"a", u"b");
    lstrcpynW(bad.data<NameRule>().description, u"say \"hi\"", 64);
    Send(bad);
    EXPECT_EQ(Reply().result, ResultBadValue);

    // Two rules: index 1 is the default rule.
    for (BYTE op : {OpReplace, OpDelete, OpSwap}) {
        Message at = pipetest::With(ReqNameRules, op, Alias(u'P', u"a", u"b"));
        at.header().stamp = stamp;
        at.header().argument = 1;
        Send(at);
        EXPECT_EQ(Reply().result, ResultBadIndex) << int(op);
    }
    Message swap0(ReqNameRules, OpSwap);
    swap0.header().stamp = stamp;
    swap0.header().argument = 0;
    Send(swap0);
    EXPECT_EQ(Reply().result, ResultBadIndex) << "a swap would move the default rule";
    add.header().argument = 2;
    add.header().stamp = stamp;
    Send(add);
    EXPECT_EQ(Reply().result, ResultBadIndex);

    Message del(ReqNameRules, OpDelete);
    del.header().stamp = stamp - 1;
    del.header().argument = 0;
    Send(del);
    EXPECT_EQ(Reply().result, ResultStale);
    // With WantData the list comes back, two records at most per reply.
    del.header().stamp = stamp;
    del.header().flags = WantData;
    del.header().maxRecords = 5;
    Send(del);
    EXPECT_EQ(Reply().result, 0u);
    EXPECT_EQ(Reply().recordCount, 1);
    EXPECT_NE(Reply().listStamp, stamp);
    get.header().maxRecords = 0;
    Send(get);
    EXPECT_EQ(Reply().recordCount, 0);
    EXPECT_EQ(Reply().flags & MoreData, MoreData);
}

// Process rules: names first, the member group made with the rule, variable
// data that does not fit reported as more data, a record past the message
// refused.
TEST_F(DispatchTest, ProcessRules) {
    std::vector<BYTE> rule = ProcRule(u"Editor", u"Office", "opaque bytes");
    Message add(ReqProcRule, OpAdd, rule.data(), rule.size());
    add.header().flags = WantData;
    Send(add);
    ASSERT_EQ(Reply().result, 0u);
    ASSERT_EQ(Reply().recordCount, 1);
    EXPECT_EQ(Reply().recordSize, 568);
    EXPECT_EQ(std::u16string(Record<ProcSummary>().name), u"Editor");
    EXPECT_EQ(db_->GroupCount(), 1u) << "the member group came with it";
    Send(add);
    EXPECT_EQ(Reply().result, ResultExists);

    Message get(ReqProcRule, OpGet, rule.data(), rule.size());
    get.header().bufferSize = kProcDetailFixedSize;
    Send(get);
    ASSERT_EQ(Reply().result, 0u);
    EXPECT_EQ(Reply().flags & MoreData, MoreData);
    EXPECT_EQ(Record<ProcDetail>().varDataLength, 0);
    EXPECT_EQ(Reply().recordSize, static_cast<SHORT>(kProcDetailFixedSize));
    EXPECT_NE(Reply().listStamp, 0u);
    get.header().bufferSize = 0xFFFFFFFF;
    Send(get);
    ASSERT_EQ(Reply().result, 0u);
    EXPECT_EQ(Reply().flags & MoreData, 0u);
    EXPECT_EQ(Record<ProcDetail>().varDataLength, 12);
    EXPECT_EQ(replyLength_, kHeaderSize + kProcDetailFixedSize + 12);

    std::vector<BYTE> lying = ProcRule(u"Liar");
    reinterpret_cast<ProcDetail*>(lying.data())->varDataLength = 3000;
    Message liar(ReqProcRule, OpAdd, lying.data(), lying.size());
    Send(liar);
    EXPECT_EQ(Reply().result, ResultBadRequest) << "variable data past the message";
    EXPECT_EQ(db_->ProcCount(), 1u);

    std::vector<BYTE> badName = ProcRule(u"a,b");
    Message swap(ReqProcRule, OpSwap, badName.data(), badName.size());
    Send(swap);
    EXPECT_EQ(Reply().result, ResultBadName) << "the name is checked before the operation";

    Message replace(ReqProcRule, OpReplace, rule.data(), rule.size());
    replace.header().stamp = 1;
    Send(replace);
    EXPECT_EQ(Reply().result, ResultStale);
    Message del(ReqProcRule, OpDelete, rule.data(), rule.size());
    Send(del);
    EXPECT_EQ(Reply().result, 0u);
    Send(del);
    EXPECT_EQ(Reply().result, 2u);
    EXPECT_EQ(Reply().resultKind, 1);
}

// A group rule without a priority is stored with the normal one.
TEST_F(DispatchTest, GroupRuleDefaultPriority) {
    std::vector<BYTE> b(kJobDetailFixedSize, 0);
    auto* d = reinterpret_cast<JobDetail*>(b.data());
    lstrcpynW(d->summary.name, u"Crew", 64);
    d->summary.mgmt.mgmtFlags = LimitProcessCount;
    d->summary.mgmt.processCount = 3;
    Message add(ReqGroupRule, OpAdd, b.data(), b.size());
    Send(add);
    ASSERT_EQ(Reply().result, 0u);
    Message get(ReqGroupRule, OpGet, b.data(), b.size());
    get.header().bufferSize = 4096;
    Send(get);
    ASSERT_EQ(Reply().result, 0u);
    EXPECT_EQ(Record<JobDetail>().summary.mgmt.priority, 8u);
    EXPECT_EQ(Reply().recordSize, static_cast<SHORT>(kJobDetailFixedSize));
}

// Kills go to the manager, after the access check.
TEST_F(DispatchTest, Kills) {
    WCHAR name[64] = u"Nobody";
    Message kill = pipetest::With(ReqGroupList, OpKill, name);
    Send(kill);
    EXPECT_EQ(Reply().result, 1062u) << "no manager yet";
    WithManager();
    Send(kill);
    EXPECT_EQ(Reply().result, 5u);
    GrantAllRights();
    Send(kill);
    EXPECT_EQ(Reply().result, ResultNotFound);
    ULONGLONG created = AnyCreationTime;
    Message killPid = pipetest::With(ReqProcList, OpKill, created);
    killPid.header().argument = 0x7FFFFFF0;
    Send(killPid);
    EXPECT_EQ(Reply().result, ResultNotFound);
}

}  // namespace
