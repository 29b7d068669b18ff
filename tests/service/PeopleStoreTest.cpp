// People and the cards they hold, on both store engines: the same answers
// for searches, holdings over time, swipes' holders and imports.
#include <gtest/gtest.h>

#include <filesystem>

#include "service/Store.h"
#include "support/PgCluster.h"

namespace ostrel::service {
namespace {

std::string line(const std::string& card, const std::string& day, const std::string& time) {
    return "01|" + card + "|" + day + "|" + time + "|01|0";
}

std::vector<std::string> names(const std::vector<Person>& people) {
    std::vector<std::string> out;
    for (const auto& p : people) out.push_back(p.name);
    return out;
}

void checkPeople(Store& s) {
    Person ann{0, "Ann Lee", "Sales", "E1", "", true}, bob{0, "Bob Marsh", "Works", "", "night shift", true};
    ann.id = s.addPerson(ann);
    bob.id = s.addPerson(bob);
    ASSERT_GT(ann.id, 0);
    EXPECT_NE(ann.id, bob.id);
    // An employee number belongs to one person; none at all is no number.
    EXPECT_THROW(s.addPerson({0, "Other", "", "E1", "", true}), StoreConflict);
    Person noNumber{0, "Cy", "Works", "", "", true};
    EXPECT_NO_THROW(noNumber.id = s.addPerson(noNumber));
    bob.employeeNo = "E1";
    EXPECT_THROW(s.updatePerson(bob), StoreConflict);
    bob.employeeNo = "E2";
    EXPECT_TRUE(s.updatePerson(bob));
    EXPECT_FALSE(s.updatePerson({999999, "Nobody", "", "", "", true}));
    EXPECT_EQ(s.person(bob.id)->employeeNo, "E2");
    EXPECT_EQ(s.person(bob.id)->notes, "night shift");
    EXPECT_FALSE(s.person(999999));

    PersonQuery q;
    q.text = "lee";
    EXPECT_EQ(names(s.people(q)), std::vector<std::string>{"Ann Lee"});
    q.text = "E2";
    EXPECT_EQ(names(s.people(q)), std::vector<std::string>{"Bob Marsh"});
    PersonQuery works;
    works.department = "Works";
    EXPECT_EQ(names(s.people(works)), (std::vector<std::string>{"Bob Marsh", "Cy"}));
    noNumber.active = false;
    s.updatePerson(noNumber);
    works.active = true;
    EXPECT_EQ(names(s.people(works)), std::vector<std::string>{"Bob Marsh"});

    // Card 000101 goes from Ann to Bob; each swipe keeps the holder of its time.
    s.holdCard("000101", ann.id, "2026-01-01T00:00");
    EXPECT_THROW(s.holdCard("000101", bob.id, "2026-01-02T00:00"), StoreConflict);
    EXPECT_THROW(s.returnCard("000101", "2025-12-31T23:59"), StoreConflict);
    auto before = s.commitBatch({"north", 1}, {line("000101", "2026-01-05", "09:30")}, {});
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].person, (PersonRef{ann.id, "Ann Lee"}));
    ASSERT_TRUE(s.returnCard("000101", "2026-01-10T12:00"));
    EXPECT_FALSE(s.returnCard("000101", "2026-01-10T12:00"));
    EXPECT_THROW(s.holdCard("000101", bob.id, "2026-01-10T11:00"), StoreConflict);
    s.holdCard("000101", bob.id, "2026-01-10T12:00");
    s.commitBatch({"north", 1},
                  {line("000101", "2026-01-10", "11:59"), line("000101", "2026-01-10", "12:00"),
                   line("000202", "2026-01-10", "12:00")},
                  {});
    auto all = s.swipes({});
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].person->name, "Ann Lee");
    EXPECT_EQ(all[1].person->name, "Ann Lee");
    EXPECT_EQ(all[2].person->name, "Bob Marsh");
    EXPECT_FALSE(all[3].person);
    SwipeQuery byAnn;
    byAnn.person = ann.id;
    EXPECT_EQ(s.swipes(byAnn).size(), 2u);
    SwipeQuery byWorks;
    byWorks.department = "Works";
    ASSERT_EQ(s.swipes(byWorks).size(), 1u);
    EXPECT_EQ(s.swipes(byWorks)[0].time, "2026-01-10T12:00");
    ASSERT_EQ(s.cardHoldings("000101").size(), 2u);
    EXPECT_EQ(s.cardHoldings("000101")[0].until, "2026-01-10T12:00");
    EXPECT_EQ(s.holdings(bob.id).size(), 1u);

    // Attendance sees the swipes of held cards only, within the span.
    AttendanceQuery a{"2026-01-05T00:00", "2026-01-10T12:00", std::nullopt, std::nullopt};
    std::vector<std::string> seen;
    s.attendanceSwipes(a, [&](const AttendanceSwipe& w) { seen.push_back(std::to_string(w.person) + " " + w.time); });
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{std::to_string(ann.id) + " 2026-01-05T09:30",
                                               std::to_string(ann.id) + " 2026-01-10T11:59"}));
    a.until = "2026-01-11T00:00";
    a.department = "Works";
    seen.clear();
    s.attendanceSwipes(a, [&](const AttendanceSwipe& w) { seen.push_back(w.time + " " + w.bus); });
    EXPECT_EQ(seen, std::vector<std::string>{"2026-01-10T12:00 north"});

    // An import applies whole or not at all.
    CardEntry card;
    card.physical = "0000000301";
    card.logical = "000301";
    ImportLine fine{card, true, Person{0, "Dee New", "Sales", "", "", true}};
    ImportLine broken = fine;
    broken.card.logical = "000302";
    broken.holder.id = 999999;  // nobody: the store refuses the holding
    EXPECT_THROW(s.importCards({fine, broken}, "2026-02-01T08:00"), StoreError);
    EXPECT_FALSE(s.card("000301"));
    q.text = "Dee";
    EXPECT_TRUE(s.people(q).empty());
    ImportLine toBob{card, true, *s.person(bob.id)};
    toBob.card.logical = "000101";  // handed on from Bob's own holding: unchanged
    ImportLine second = fine;
    second.card.logical = "000303";  // the same new person, created once
    s.importCards({fine, toBob, second}, "2026-02-01T08:00");
    ASSERT_TRUE(s.card("000301"));
    auto dee = s.people(q);
    ASSERT_EQ(dee.size(), 1u);
    EXPECT_EQ(dee[0].department, "Sales");
    EXPECT_EQ(s.holdings(dee[0].id).size(), 2u);
    EXPECT_EQ(s.cardHoldings("000101").size(), 2u);
    // Handing an imported card on ends the holding before.
    ImportLine toAnn = fine;
    toAnn.holder = *s.person(ann.id);
    s.importCards({toAnn}, "2026-03-01T08:00");
    auto h = s.cardHoldings("000301");
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0].until, "2026-03-01T08:00");
    EXPECT_EQ(h[1].person, ann.id);
    EXPECT_EQ(h[1].until, "");
}

TEST(PeopleStore, BothEnginesKeepPeopleAndHoldersAlike) {
    test::PgCluster pg;
    checkPeople(*openStore(pg.createDatabase("people"), "hq"));
    char tmpl[] = "/tmp/ostrel-store-XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    checkPeople(*openStore("sqlite:" + (dir / "s.db").string(), "hq"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ostrel::service
