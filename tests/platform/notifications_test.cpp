// Who hears what of a selection: observers that drive the antenna switching
// or mirror a value to another workstation act on every code 3, so a write
// that changes nothing must stay silent.
#include "changecodes.h"
#include "iobserver.h"
#include "observable.h"
#include "observerqueries.h"
#include "valueselection.h"

#include <gtest/gtest.h>

#include <vector>

using values::ValueSelection;

namespace
{
struct Recorder : IObserver
{
    std::vector<unsigned int> codes;
    std::vector<QString> seen; // the selection's text at each notification
    int id = 0;
    std::vector<int> *order = nullptr;

    void Notify(Observable *subject, unsigned int code) override
    {
        codes.push_back(code);
        if (auto *selection = dynamic_cast<ValueSelection *>(subject))
            seen.push_back(selection->GetStringValue());
        if (order)
            order->push_back(id);
    }
};
}

TEST(Selection, NotifiesOnlyWhenItsItemsOrItsSelectionChange)
{
    ValueSelection antenna;
    Recorder observer;
    antenna.AddObserver(&observer);

    antenna.SetItems({"HF1", "HF2"}, nullptr);
    EXPECT_TRUE(antenna.SetSelectedItem("HF2", nullptr));
    EXPECT_EQ(observer.seen, (std::vector<QString> {QString(), "HF2"}));

    // Writing what is already there, in either form, and items that are already there: silence.
    EXPECT_TRUE(antenna.SetSelectedItem("HF2", nullptr));
    EXPECT_TRUE(antenna.SetStringValue("HF2", nullptr));
    antenna.SetItems({"HF1", "HF2", "HF2"}, nullptr);
    EXPECT_FALSE(antenna.SetSelectedItem("VHF", nullptr)) << "not an item";
    EXPECT_EQ(observer.codes.size(), 2u);

    // New items that keep the selected one are still a change; so is losing it.
    antenna.SetItems({"HF2", "HF3"}, nullptr);
    antenna.SetItems({"HF3"}, nullptr);
    EXPECT_TRUE(antenna.SetSelectedItem(QString(), nullptr)) << "nothing selected already";
    EXPECT_EQ(observer.seen, (std::vector<QString> {QString(), "HF2", "HF2", QString()}));
    EXPECT_EQ(observer.codes, std::vector<unsigned int>(4, ChangeCode::ValueChanged));
    antenna.DeleteObservers();
}

TEST(Observable, MakeFirstObserverMovesAnObserverToTheHeadOnce)
{
    Observable subject;
    std::vector<int> order;
    Recorder a, b, c;
    int id = 0;
    for (Recorder *r : {&a, &b, &c}) {
        r->id = ++id;
        r->order = &order;
        subject.AddObserver(r);
    }
    subject.MakeFirstObserver(&c);
    subject.MakeFirstObserver(nullptr);
    subject.NotifyObservers(ChangeCode::ValueChanged, nullptr);
    EXPECT_EQ(order, (std::vector<int> {3, 1, 2}));
    EXPECT_EQ(ObserverQueries::ObserverCount(subject), 3);
}
