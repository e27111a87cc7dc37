#include "platform/ui/DataSource.h"

TDataSource::TDataSource(QObject* parent) : QObject(parent) {}

TDataSource::~TDataSource() { SetDataSet(nullptr); }

void TDataSource::SetDataSet(TClientDataSet* dataSet) {
    if (dataSet == dataSet_) return;
    if (dataSet_) {
        dataSet_->RemoveObserver(this);
        dataSet_->OnStateChange = nullptr;
    }
    dataSet_ = dataSet;
    if (dataSet_) {
        dataSet_->AddObserver(this);
        dataSet_->OnStateChange = [this](TClientDataSet&) {
            if (OnStateChange) OnStateChange(this);
        };
    }
    emit dataSetChanged();
}

TDataSetState TDataSource::State() const {
    return dataSet_ ? dataSet_->State() : TDataSetState::dsInactive;
}
