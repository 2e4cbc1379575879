#include "component/class_factory.h"

#include <atomic>

#include "form/form_item.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

ObjectRef NewUploadFile() { return UploadFile::Create(); }
ObjectRef NewFormItem() { return FormItem::Create(); }

const ComponentClass kClasses[] = {
    {QELT_PROGID_UPLOADFILE, "UploadFile", "_UploadFile", kUploadFileClassId, kUploadFileInterfaceId,
     &NewUploadFile},
    {QELT_PROGID_FORMITEM, "FormItem", "_FormItem", kFormItemClassId, kFormItemInterfaceId, &NewFormItem},
};

std::atomic<int64_t> serverLocks{0};

}  // namespace

std::span<const ComponentClass> ComponentClasses() { return kClasses; }

const ComponentClass* FindComponentClass(const Guid& classId) {
  for (const ComponentClass& cls : kClasses)
    if (cls.classId == classId) return &cls;
  return nullptr;
}

void ClassFactory::LockServer(bool lock) { serverLocks.fetch_add(lock ? 1 : -1, std::memory_order_relaxed); }

int64_t ClassFactory::ServerLocks() { return serverLocks.load(std::memory_order_relaxed); }

std::shared_ptr<ClassFactory> GetClassFactory(const Guid& classId) {
  const ComponentClass* cls = FindComponentClass(classId);
  if (!cls) return nullptr;
  return std::make_shared<ClassFactory>(*cls);
}

bool CanUnloadNow() { return Object::LiveObjects() == 0 && ClassFactory::ServerLocks() <= 0; }

}  // namespace parcelmoor
