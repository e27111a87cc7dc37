// The data source between a client data set and the controls that show it (grid, navigator, text
// labels). It is the data set's only observer on their behalf and passes every change on as a signal,
// and it owns the data set's OnStateChange event, which it reports as its own OnStateChange.
#pragma once

#include <QObject>
#include <functional>

#include "platform/data/ClientDataSet.h"

class TDataSource : public QObject, private TDataSetObserver {
    Q_OBJECT
public:
    explicit TDataSource(QObject* parent = nullptr);
    ~TDataSource() override;

    // Null detaches. The data set must outlive the data source or be detached first.
    void SetDataSet(TClientDataSet* dataSet);
    TClientDataSet* DataSet() const { return dataSet_; }
    TDataSetState State() const;

    // Every state change of the data set (and every load), with this data source as sender. What it throws
    // goes back into the data set's operation, which decides what to undo.
    std::function<void(QObject* sender)> OnStateChange;

signals:
    void dataSetChanged();
    void stateChanged();
    void rowsAboutToReset();
    void rowsReset();
    void rowAboutToBeInserted(int row);
    void rowInserted(int row);
    void rowAboutToBeRemoved(int row);
    void rowRemoved(int row);
    void rowChanged(int row);
    void currentChanged();

private:
    void StateChanged(TClientDataSet&) override { emit stateChanged(); }
    void RowsAboutToReset(TClientDataSet&) override { emit rowsAboutToReset(); }
    void RowsReset(TClientDataSet&) override { emit rowsReset(); }
    void RowAboutToBeInserted(TClientDataSet&, int row) override { emit rowAboutToBeInserted(row); }
    void RowInserted(TClientDataSet&, int row) override { emit rowInserted(row); }
    void RowAboutToBeRemoved(TClientDataSet&, int row) override { emit rowAboutToBeRemoved(row); }
    void RowRemoved(TClientDataSet&, int row) override { emit rowRemoved(row); }
    void RowChanged(TClientDataSet&, int row) override { emit rowChanged(row); }
    void CurrentChanged(TClientDataSet&) override { emit currentChanged(); }

    TClientDataSet* dataSet_ = nullptr;
};
